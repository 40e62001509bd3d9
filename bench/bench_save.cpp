// bench_save.cpp - what a durable save costs: save_image, which syncs the new
// file before it replaces the old one and the folder after, against the same
// bytes written under a temporary name and renamed over the target with no
// sync at all (a save's file work before saves were durable). Wall-clock
// time, since a sync mostly waits for the disk. Each folder given is measured
// in turn: the build folder's disk and a tmpfs, say. Rounds alternate the two
// contenders; rows as in bench/all.sh's table.
// Usage: bench_save FOLDER...
#include "image.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct size_case {
    uint32_t width, height;
    int saves_per_round;
};

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median_of(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::vector<unsigned char> read_whole(const std::string &path)
{
    std::vector<unsigned char> out;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        unsigned char block[65536];
        for (size_t n; (n = fread(block, 1, sizeof block, f)) > 0;)
            out.insert(out.end(), block, block + n);
        fclose(f);
    }
    return out;
}

bool write_unsynced(const std::string &target, const std::vector<unsigned char> &bytes)
{
    const std::string temp = target + ".unsynced.tmp";
    FILE *f = fopen(temp.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok && rename(temp.c_str(), target.c_str()) == 0;
}

bool save(const std::string &target, const std::vector<uint32_t> &pixels, const size_case &s)
{
    return save_image(target.c_str(), pixels.data(), s.width, s.height, IMAGE_FORMAT_TGA) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: bench_save FOLDER...\n");
        return 2;
    }
    const size_case sizes[] = {{640, 480, 15}, {2048, 2048, 5}};
    const int rounds = 9;
    for (int a = 1; a < argc; ++a) {
        const std::string folder = argv[a];
        const std::string target = folder + "/bench_save." + std::to_string(getpid()) + ".tga";
        for (const size_case &s : sizes) {
            std::vector<uint32_t> pixels(size_t(s.width) * s.height);
            for (size_t i = 0; i < pixels.size(); ++i)
                pixels[i] = 0xFF000000u | uint32_t(i * 2654435761u >> 8);
            // Timing a wrong file tells nothing: what the save writes must load back.
            uint32_t w = 0, h = 0;
            uint32_t *back = save(target, pixels, s) ? load_image(target.c_str(), &w, &h) : nullptr;
            const bool right = back && w == s.width && h == s.height &&
                               memcmp(back, pixels.data(), pixels.size() * 4) == 0;
            free_image(back);
            const std::vector<unsigned char> bytes = read_whole(target);
            if (!right || bytes.empty()) {
                fprintf(stderr, "bench_save: saving in %s: %s\n", folder.c_str(), image_error());
                return 1;
            }
            std::vector<double> synced, unsynced, ratios;
            for (int round = 0; round < rounds; ++round) {
                std::vector<double> one[2];
                for (int i = 0; i < s.saves_per_round; ++i)
                    for (int k = 0; k < 2; ++k) {
                        const int who = (k + round + i) % 2; // each goes first as often as the other
                        const double start = now();
                        const bool ok = who == 0 ? save(target, pixels, s) : write_unsynced(target, bytes);
                        one[who].push_back(now() - start);
                        if (!ok) {
                            fprintf(stderr, "bench_save: a save in %s failed\n", folder.c_str());
                            return 1;
                        }
                    }
                synced.push_back(median_of(one[0]));
                unsynced.push_back(median_of(one[1]));
                ratios.push_back(synced.back() / unsynced.back());
            }
            unlink(target.c_str());
            const auto [lo, hi] = std::minmax_element(ratios.begin(), ratios.end());
            printf("| TGA save %ux%u in %s, synced | %.3f ms | the same bytes written and renamed, unsynced | "
                   "%.3f ms | %.2f | %.2f-%.2f |\n",
                   s.width, s.height, folder.c_str(), median_of(synced) * 1e3, median_of(unsynced) * 1e3,
                   median_of(ratios), *lo, *hi);
            fflush(stdout);
        }
    }
    return 0;
}
