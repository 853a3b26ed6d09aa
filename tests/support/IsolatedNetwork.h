#pragma once
// Moves the calling test process into a network and mount namespace of its own: only a
// loopback interface (127.0.0.1 and ::1), and an /etc/hosts that adds the test's names, such
// as a name with only an IPv6 address or one whose IPv6 address nothing answers. Whatever the
// test starts afterwards (the headless program, curl, dig) runs in the same namespaces.
//
// Needs root and a process with one thread (the system refuses a new mount namespace to a
// process whose threads share its file-system view), which a test run alone by ctest is.
// Enter answers why it could not, for GTEST_SKIP; empty when it did.

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <net/if.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvan::test {

class TIsolatedNetwork {
public:
    // hostsLines: lines added to the system's /etc/hosts ("::1 v6only.test").
    static std::string Enter(const std::string& hostsLines) {
        if (::geteuid() != 0)
            return "needs root for network and mount namespaces";
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
            return std::string("unshare: ") + std::strerror(errno);
        // Mounts made here must not reach the namespace the test came from.
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("mount private: ") + std::strerror(errno);
        std::string error = LoopbackUp();
        if (!error.empty())
            return error;
        std::stringstream hosts;
        hosts << std::ifstream("/etc/hosts").rdbuf() << "\n" << hostsLines << "\n";
        std::string path = std::filesystem::temp_directory_path() /
                           ("corvan-hosts-" + std::to_string(::getpid()));
        std::ofstream(path) << hosts.str();
        int r = ::mount(path.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr);
        int mountError = errno;
        // The bind holds the file; its name is not needed any more.
        std::filesystem::remove(path);
        if (r != 0)
            return std::string("bind /etc/hosts: ") + std::strerror(mountError);
        return "";
    }

private:
    // A new network namespace starts with its loopback interface down.
    static std::string LoopbackUp() {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return std::string("socket: ") + std::strerror(errno);
        ifreq request{};
        std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
        int r = ::ioctl(fd, SIOCGIFFLAGS, &request);
        if (r == 0) {
            request.ifr_flags |= IFF_UP | IFF_RUNNING;
            r = ::ioctl(fd, SIOCSIFFLAGS, &request);
        }
        int error = errno;
        ::close(fd);
        return r == 0 ? "" : std::string("loopback up: ") + std::strerror(error);
    }
};

} // namespace corvan::test
