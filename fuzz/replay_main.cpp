// replay_main.cpp - runs a fuzz harness over files and folders of inputs
// without libFuzzer, so the harnesses build and run with any compiler.
// Usage: HARNESS FILE-OR-FOLDER...
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

// Adds the file, or every file below the folder; false if the path or a
// folder in it cannot be read, so that a misspelt seed list cannot pass
// having replayed less than it names.
bool collect(const std::string &path, std::vector<std::string> &files)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        perror(path.c_str());
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return true;
    }
    DIR *d = opendir(path.c_str());
    if (!d) {
        perror(path.c_str());
        return false;
    }
    bool ok = true;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            ok = collect(path + "/" + e->d_name, files) && ok;
    closedir(d);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> files;
    bool ok = true;
    for (int i = 1; i < argc; ++i)
        ok = collect(argv[i], files) && ok;
    if (!ok)
        return 1;
    std::sort(files.begin(), files.end());
    for (const std::string &name : files) {
        std::ifstream in(name, std::ios::binary);
        if (!in) {
            perror(name.c_str());
            return 1;
        }
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    fprintf(stderr, "replayed %zu inputs\n", files.size());
    return files.empty() ? 1 : 0;
}
