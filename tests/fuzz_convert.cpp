// libFuzzer target: writes each input as a file, converts it, and checks the
// outcome against the format, computed here byte by byte on its own. An
// input whose first byte is below 0x20 (no sample's is) begins with a name:
// that many bytes after it are the file's last part, any byte but '/' and
// NUL, so that names with every byte are converted too. Then:
//   - refused (shorter than a header, foreign magic, already "Ver2"): result
//     0, the file unchanged, nothing left beside it;
//   - otherwise: result 1, the file is the version 2 form (header upgraded,
//     length stored, every whole record mapped, trailing bytes dropped) and
//     NAME.old holds the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "stats/convert.h"

namespace {

std::string directory, name, old_name, new_name;

std::string read_file(const std::string& path, bool* exists) {
    std::string data;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    *exists = file != nullptr;
    if (file == nullptr) return data;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        data.append(buffer, n);
    std::fclose(file);
    return data;
}

std::string expected_conversion(const std::string& in) {
    std::size_t records = (in.size() - 32) / 260;
    std::uint32_t length = static_cast<std::uint32_t>(32 + 264 * records);
    std::string out = in.substr(0, 4) + "Ver2";
    for (int i = 0; i < 4; i++)
        out += static_cast<char>(length >> (8 * i));
    out += in.substr(12, 20);
    for (std::size_t r = 0; r < records; r++) {
        std::string record = in.substr(32 + 260 * r, 260);
        out += record.substr(0, 4) + std::string(4, '\0') + record.substr(4);
    }
    return out;
}

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz_convert: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* top = std::getenv("TMPDIR");
    directory = std::string(top != nullptr ? top : "/tmp") + "/fuzz_convert.XXXXXX";
    require(mkdtemp(directory.data()) != nullptr, "cannot make a working directory");
    return 0;
}

namespace {

// Takes the name that begins `data`, if it does, off it, and forms the
// three names.
void take_name(const std::uint8_t*& data, std::size_t& size) {
    std::string last = "stats";
    if (size > 0 && data[0] < 0x20) {
        std::size_t length = data[0] < size ? data[0] : size - 1;
        std::string taken(reinterpret_cast<const char*>(data) + 1, length);
        for (char& c : taken)
            if (c == '/' || c == '\0') c = '_';
        if (!taken.empty() && taken != "." && taken != "..") last = taken;
        data += 1 + length;
        size -= 1 + length;
    }
    name = directory + "/" + last;
    old_name = name + ".old";
    new_name = name + ".new";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    take_name(data, size);
    std::string input(reinterpret_cast<const char*>(data), size);
    std::FILE* file = std::fopen(name.c_str(), "wb");
    require(file != nullptr && std::fwrite(input.data(), 1, size, file) == size &&
                std::fclose(file) == 0,
            "cannot write the input");

    bool refused =
        size < 32 || input.compare(0, 4, "StAt") != 0 || input.compare(4, 4, "Ver2") == 0;
    int result = stats::convert_file(name.c_str());

    bool exists = false, old_exists = false, new_exists = false;
    std::string converted = read_file(name, &exists);
    std::string old_data = read_file(old_name, &old_exists);
    read_file(new_name, &new_exists);
    require(result == (refused ? 0 : 1), "wrong result");
    require(exists && !new_exists && old_exists == !refused, "wrong files left");
    if (refused)
        require(converted == input, "a refused file was changed");
    else
        require(converted == expected_conversion(input) && old_data == input, "wrong conversion");

    unlink(name.c_str());
    unlink(old_name.c_str());
    return 0;
}
