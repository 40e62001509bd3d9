// bench_tga.cpp - how fast TGA files of four kinds load, against a bare read
// of the file's bytes (the floor for any reader) and stb_image's TGA reader;
// and, warm, how fast they save, against a bare write of the same bytes. Warm,
// or with --first-load fresh memory for every load (see load_bench.h).
#include "load_bench.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_TGA
#include <stb_image.h>

namespace {

std::vector<unsigned char> read_whole(const std::string &path)
{
    std::vector<unsigned char> out;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        fseek(f, 0, SEEK_END);
        out.resize(ftell(f));
        rewind(f);
        if (fread(out.data(), 1, out.size(), f) != out.size())
            out.clear();
        fclose(f);
    }
    return out;
}

// The floor for loading: the file's bytes into a fresh block, nothing more.
void bare_read(const std::string &path, size_t size)
{
    FILE *f = fopen(path.c_str(), "rb");
    unsigned char *block = static_cast<unsigned char *>(malloc(size));
    const size_t got = fread(block, 1, size, f);
    benchmark::DoNotOptimize(got);
    benchmark::DoNotOptimize(block);
    free(block);
    fclose(f);
}

void save(const std::string &path, const picture &p)
{
    set_image_save_flags(p.alpha ? IMAGE_SAVE_ALPHA : 0);
    if (save_image(path.c_str(), p.pixels.data(), p.width, p.height, IMAGE_FORMAT_TGA) != 0)
        abort();
}

// Where the save benchmark writes: beside the file it loads (removed with it).
std::string out_path(const std::string &path)
{
    return path + ".out";
}

// Timing wrong results tells nothing: ours and stb_image give the picture
// back, and saving it again gives the same file.
bool agree(const std::string &path, const picture &p)
{
    uint32_t w = 0, h = 0;
    uint32_t *ours = load_image(path.c_str(), &w, &h);
    bool ok = ours && w == p.width && h == p.height && memcmp(ours, p.pixels.data(), p.pixels.size() * 4) == 0;
    free_image(ours);
    int sw = 0, sh = 0, n = 0;
    unsigned char *rgba = stbi_load(path.c_str(), &sw, &sh, &n, 4);
    ok = ok && rgba && uint32_t(sw) == p.width && uint32_t(sh) == p.height;
    for (size_t i = 0; ok && i < p.pixels.size(); ++i) {
        const unsigned char *q = rgba + 4 * i;
        ok = (uint32_t(q[3]) << 24 | uint32_t(q[0]) << 16 | uint32_t(q[1]) << 8 | q[2]) == p.pixels[i];
    }
    stbi_image_free(rgba);
    save(out_path(path), p);
    const bool same_file = read_whole(out_path(path)) == read_whole(path);
    unlink(out_path(path).c_str());
    return ok && same_file;
}

} // namespace

int main(int argc, char **argv)
{
    format_bench b;
    b.format = "TGA";
    b.extension = ".tga";
    b.with_rgba = true;
    b.write = save;
    b.agree = agree;
    b.stb = stbi_load;
    b.add = [](std::vector<contender> &all, const picture &p, const std::string &path, bool first) {
        const std::vector<unsigned char> bytes = read_whole(path);
        const size_t size = bytes.size();
        all.push_back({"bare/" + p.label(), [path, size] { bare_read(path, size); }});
        add_any_loader(all, p, path);
        if (first || p.kind != "photo")
            return;
        const std::string out = out_path(path);
        all.push_back({"save/" + p.label(), [out, &p] { save(out, p); }});
        all.push_back({"bare_write/" + p.label(), [out, bytes] {
                           FILE *f = fopen(out.c_str(), "wb");
                           fwrite(bytes.data(), 1, bytes.size(), f);
                           fclose(f);
                       }});
    };
    b.comparisons = {{"TGA", "ours", "bare", "bare read of the file"},
                     {"TGA", "ours", "stb", "stb_image"},
                     {"TGA with IMAGE_READ_ANY", "any", "ours", "the strict mode"},
                     {"TGA save", "save", "bare_write", "bare write of the same bytes"}};
    return run_format_bench(argc, argv, b);
}
