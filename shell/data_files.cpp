#include "shell/data_files.hpp"

#include <filesystem>
#include <system_error>

#include "vaz/executable.hpp"

// Install data folders relative to the prefix, set by the build.
#ifndef VELMORA_PREFIX_DATADIRS
#define VELMORA_PREFIX_DATADIRS "share/velmora"
#endif

std::vector<std::string> data_file_locations(const std::string& exe_dir, const std::string& name) {
    std::vector<std::string> paths{name};
    if (!exe_dir.empty()) {
        const std::filesystem::path dir(exe_dir);
        paths.push_back((dir / name).string());
        if (dir.has_parent_path() && dir.parent_path() != dir) {
            paths.push_back((dir.parent_path() / name).string());
            // An installed tree moved as a whole, or a package unpacked into
            // another root: <prefix>/bin or <prefix>/games beside the data
            // folder of each install layout, separated by ':'.
            const std::string layouts = VELMORA_PREFIX_DATADIRS;
            for (std::size_t at = 0; at <= layouts.size();) {
                std::size_t end = layouts.find(':', at);
                if (end == std::string::npos) end = layouts.size();
                if (end > at) paths.push_back((dir.parent_path() / layouts.substr(at, end - at) / name).string());
                at = end + 1;
            }
        }
    }
#ifdef VELMORA_INSTALL_DATADIR
    paths.push_back(std::string(VELMORA_INSTALL_DATADIR) + "/" + name);
#endif
    return paths;
}

std::string first_existing_file(const std::vector<std::string>& paths) {
    for (const std::string& p : paths) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(p, ec)) return p;
    }
    return {};
}

std::string find_data_file(const std::string& name) {
    return first_existing_file(data_file_locations(vaz::executable_dir(), name));
}
