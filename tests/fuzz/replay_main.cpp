// Replays inputs through a fuzz target without libFuzzer, so that the saved
// seeds and crash inputs run with every ordinary build: each regular file of
// the directories named, in name order, goes to LLVMFuzzerTestOneInput once.
// It fails on a crash or broken invariant, an unreadable directory, an answer
// other than 0, and when there was nothing to replay: a test that replays
// nothing proves nothing. Files named README* are not inputs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        for (std::filesystem::directory_iterator it(argv[i], error), end; !error && it != end;
             it.increment(error)) {
            if (it->is_regular_file() && it->path().filename().string().rfind("README", 0) != 0) {
                inputs.push_back(it->path());
            }
        }
        if (error) {
            std::fprintf(stderr, "%s: %s\n", argv[i], error.message().c_str());
            return 1;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s DIRECTORY... (with inputs to replay)\n", argv[0]);
        return 1;
    }
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
        if (!in.is_open() || in.bad()) {
            std::fprintf(stderr, "%s: cannot read\n", path.c_str());
            return 1;
        }
        // A buffer of exactly the input's size, so that the sanitizers see a
        // read past its end as libFuzzer would.
        std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), data.get());
        std::printf("%s (%zu bytes)\n", path.c_str(), bytes.size());
        std::fflush(stdout);
        if (int result = LLVMFuzzerTestOneInput(data.get(), bytes.size()); result != 0) {
            std::fprintf(stderr, "%s: the target answered %d\n", path.c_str(), result);
            return 1;
        }
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
