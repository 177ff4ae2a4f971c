#pragma once
#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace test_support {

// A fresh folder per test, removed with everything in it afterwards.
class scratch_dir {
public:
    scratch_dir() {
        std::string pattern = "/tmp/velmora_test.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr) std::abort();
        path_ = name.data();
    }
    ~scratch_dir() {
        nftw(path_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return std::remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(path_.c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string n = e->d_name;
                if (n != "." && n != "..") names.push_back(n);
            }
            closedir(d);
        }
        return names;
    }

private:
    std::string path_;
};

}  // namespace test_support
