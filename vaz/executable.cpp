#include "vaz/executable.hpp"

#include <filesystem>
#include <system_error>

namespace vaz {

std::string executable_dir() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.parent_path().string();
}

}  // namespace vaz
