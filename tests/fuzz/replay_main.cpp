// Replays fuzz inputs through the fuzz target without libFuzzer: every file named, and every
// file in a directory named, once, in name order. A crash or a broken promise ends the run;
// the input's name was printed just before.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_of(const fs::path &named)
{
    if (!fs::is_directory(named))
        return {named};
    std::vector<fs::path> inputs;
    for (const auto &entry : fs::directory_iterator(named))
        if (entry.is_regular_file())
            inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

bool replay(const fs::path &input)
{
    std::ifstream in(input, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "init_file_fuzz_replay: can't open %s\n", input.c_str());
        return false;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    std::printf("input: %s\n", input.c_str());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const fs::path &input : inputs_of(argv[i])) {
            if (!replay(input))
                return 1;
            ++replayed;
        }
    }
    std::printf("init_file_fuzz_replay: %d inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
