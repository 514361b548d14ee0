// Runs a fuzz target over saved inputs without libFuzzer, so that any
// compiler builds the targets and CTest replays the corpus. Arguments: files,
// or directories whose regular files are all replayed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> files(argv + 1, argv + argc);
    for (int i = 1; i < argc; ++i)
        if (std::filesystem::is_directory(argv[i]))
            for (auto const& entry : std::filesystem::directory_iterator(argv[i])) files.push_back(entry.path());
    files.erase(std::remove_if(files.begin(), files.end(), [](auto const& f) { return is_directory(f); }), files.end());
    std::sort(files.begin(), files.end());
    for (auto const& file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        // Exactly the file's size, so that a sanitizer build catches a read past the end.
        std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return files.empty() ? 1 : 0;  // an empty or missing corpus proves nothing
}
