// Fuzzes the loader's path checks: tavo::get_device_manager with paths built
// from the input inside a fixture directory of files, directories, links
// (good, dangling, looping) and real plugins (good, without the entry point,
// with a throwing factory, with a null one). Every call must return a manager
// (or null) or throw std::runtime_error (the loader's fixed texts,
// filesystem_error and Boost.DLL's system_error derive from it); anything
// else, or a crash, is a fault.
//
// Paths stay inside the fixture: components come from its names or from
// input bytes without '/', NUL or "..", so no library outside it is opened.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "tavo/device_manager_loader.hpp"

namespace fs = std::filesystem;

namespace {

const char* const fixture_names[] = {
    "empty", "text.so", "dir", "dir/inner.so", "good.so", "no_entry.so", "throwing.so", "null.so",
    "link_good", "link_dir", "dangling", "loop", "fifo", "dir/..", ".", "", "missing", "good.so/",
};

fs::path make_fixture() {
    char pattern[] = "/tmp/tavo-fuzz-loader-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    const fs::path root = pattern;
    std::ofstream(root / "empty");
    std::ofstream(root / "text.so") << "not a shared library\n";
    fs::create_directory(root / "dir");
    std::ofstream(root / "dir" / "inner.so") << "\x7f" "ELF truncated";
    fs::copy_file(TAVO_FUZZ_GOOD_PLUGIN, root / "good.so");
    fs::create_symlink(TAVO_FUZZ_NO_ENTRY_PLUGIN, root / "no_entry.so");
    fs::create_symlink(TAVO_FUZZ_THROWING_PLUGIN, root / "throwing.so");
    fs::create_symlink(TAVO_FUZZ_NULL_PLUGIN, root / "null.so");
    fs::create_symlink(root / "good.so", root / "link_good");
    fs::create_directory_symlink(root / "dir", root / "link_dir");
    fs::create_symlink(root / "nowhere", root / "dangling");
    fs::create_symlink(root / "loop", root / "loop");
    if (mkfifo((root / "fifo").c_str(), 0600) != 0) std::abort();
    return root;
}

const fs::path& fixture() {
    static const fs::path root = make_fixture();
    return root;
}

void remove_fixture() {
    std::error_code ignored;
    fs::remove_all(fixture(), ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fixture();
    std::atexit(remove_fixture);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Each input byte pair is a component: a fixture name, or a run of raw
    // bytes up to the next separator byte.
    std::string path = fixture().native();
    constexpr std::size_t names = sizeof fixture_names / sizeof *fixture_names;
    for (std::size_t i = 0; i < size;) {
        const unsigned choice = data[i++];
        path += '/';
        if (choice < 0xC0) {
            path += fixture_names[choice % names];
            continue;
        }
        std::string raw;
        while (i < size && data[i] != '/' && raw.size() < 64) {
            if (data[i] != 0) raw += static_cast<char>(data[i]);
            ++i;
        }
        ++i;
        if (raw == "..") raw = "...";
        path += raw;
    }
    try {
        const auto manager = tavo::get_device_manager(path);
        if (manager) (void)manager->info();
    } catch (const std::runtime_error&) {
        // The documented failures.
    }
    return 0;
}
