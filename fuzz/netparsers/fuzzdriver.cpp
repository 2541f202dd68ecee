// Runs a fuzz target without libFuzzer: each file given is run once, then random inputs
// (mutations of those files and of fresh random bytes) for the given number of seconds.
//   fuzz-netparsers-replay [-seconds=N] [-seed=N] [FILE...]

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    double seconds = 2;
    uint32_t seed = 1;
    std::vector<std::vector<uint8_t>> corpus;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-seconds=", 9) == 0) {
            seconds = std::atof(argv[i] + 9);
        } else if (std::strncmp(argv[i], "-seed=", 6) == 0) {
            seed = uint32_t(std::strtoul(argv[i] + 6, nullptr, 10));
        } else {
            std::ifstream f(argv[i], std::ios::binary);
            corpus.emplace_back(std::istreambuf_iterator<char>(f),
                                std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(corpus.back().data(), corpus.back().size());
        }
    }
    std::mt19937 rng(seed);
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    uint64_t runs = 0;
    std::vector<uint8_t> input;
    while (std::chrono::steady_clock::now() < until) {
        if (!corpus.empty() && rng() % 2) {
            input = corpus[rng() % corpus.size()];
            const int edits = 1 + int(rng() % 8);
            for (int e = 0; e < edits && !input.empty(); ++e) {
                const size_t at = rng() % input.size();
                switch (rng() % 3) {
                case 0:
                    input[at] = uint8_t(rng());
                    break;
                case 1:
                    input.insert(input.begin() + std::ptrdiff_t(at), uint8_t(rng()));
                    break;
                default:
                    input.erase(input.begin() + std::ptrdiff_t(at));
                }
            }
        } else {
            input.resize(rng() % 20000);
            // Mostly text-like bytes, so that line-based readers get past their first checks.
            for (uint8_t &b : input)
                b = rng() % 4 ? uint8_t(" \n\r=:/#[]Filehtp0123456789EXTM3U"[rng() % 33])
                              : uint8_t(rng());
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++runs;
    }
    std::printf("%llu runs in %.1f s\n", static_cast<unsigned long long>(runs), seconds);
    return 0;
}
