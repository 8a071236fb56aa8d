// tovana-sandbox: confine this process, then exec the given program.
//
//   tovana-sandbox [OPTION]... -- PROGRAM [ARG]...
//
// Layers, each applied as far as the running kernel allows:
//   * no new privileges (PR_SET_NO_NEW_PRIVS): set-user-ID programs and file
//     capabilities grant nothing;
//   * filesystem (Landlock): read and execute everywhere, write only beneath
//     the --write folders and to a few devices every program needs; every
//     access right of the kernel's Landlock ABI is handled;
//   * network (unless --network): a new network namespace with no interface
//     up (as root, or through an unprivileged user namespace), else Landlock's
//     TCP bind and connect rules (ABI 4 and later);
//   * limits (setrlimit): CPU seconds, address space, file size, open files,
//     processes.
//
// What was applied is written as one JSON line to the --report descriptor.
// Exit status: 125 for a bad command line, 126 when a layer that was required
// could not be set up or the program cannot be run, 127 when the program is
// not found; otherwise the program's own.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int kUsage = 125;
constexpr int kCannot = 126;
constexpr int kNotFound = 127;

// Landlock's interface, declared here so that older kernel headers do.
#ifndef SYS_landlock_create_ruleset
#define SYS_landlock_create_ruleset 444
#define SYS_landlock_add_rule 445
#define SYS_landlock_restrict_self 446
#endif

struct RulesetAttr {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;  // ABI 4
    std::uint64_t scoped;              // ABI 6
};

struct __attribute__((packed)) PathBeneathAttr {
    std::uint64_t allowed_access;
    std::int32_t parent_fd;
};

constexpr std::uint32_t kCreateRulesetVersion = 1U << 0;
constexpr int kRulePathBeneath = 1;

namespace fs {
constexpr std::uint64_t execute = 1ULL << 0, write_file = 1ULL << 1, read_file = 1ULL << 2,
                        read_dir = 1ULL << 3, remove_dir = 1ULL << 4, remove_file = 1ULL << 5,
                        make_char = 1ULL << 6, make_dir = 1ULL << 7, make_reg = 1ULL << 8,
                        make_sock = 1ULL << 9, make_fifo = 1ULL << 10, make_block = 1ULL << 11,
                        make_sym = 1ULL << 12, refer = 1ULL << 13, truncate = 1ULL << 14,
                        ioctl_dev = 1ULL << 15;
}
constexpr std::uint64_t kNetBindTcp = 1ULL << 0, kNetConnectTcp = 1ULL << 1;
constexpr std::uint64_t kScopeAbstractUnix = 1ULL << 0, kScopeSignal = 1ULL << 1;

// Every filesystem right that ABI ``abi`` knows.
std::uint64_t fs_rights(int abi) {
    std::uint64_t rights = (fs::make_sym << 1) - 1;  // ABI 1: bits 0..12
    if (abi >= 2) rights |= fs::refer;
    if (abi >= 3) rights |= fs::truncate;
    if (abi >= 5) rights |= fs::ioctl_dev;
    return rights;
}

int landlock_abi() {
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, kCreateRulesetVersion);
    return abi < 0 ? 0 : static_cast<int>(abi);
}

struct Limit {
    const char* option;
    const char* key;
    int resource;
    std::uint64_t scale;  // option units -> rlimit units
    bool set = false;
    std::uint64_t value = 0;
};

struct Options {
    std::vector<std::string> writable;
    bool network = false;
    bool require = false;
    bool unconfined = false;
    int max_abi = -1;  // --landlock-abi: use at most this Landlock ABI (0: none)
    int report_fd = -1;
    long die_with = -1;
    std::string chdir_to;
    Limit limits[5] = {
        {"--cpu", "cpu_seconds", RLIMIT_CPU, 1},
        {"--memory", "memory_mb", RLIMIT_AS, 1ULL << 20},
        {"--file-size", "file_size_mb", RLIMIT_FSIZE, 1ULL << 20},
        {"--open-files", "open_files", RLIMIT_NOFILE, 1},
        {"--processes", "processes", RLIMIT_NPROC, 1},
    };
    char** program = nullptr;
};

int g_error_fd = -1;  // also gets the error line (the library's report descriptor)

[[noreturn]] void fail(int status, const std::string& text) {
    std::string line = "tovana-sandbox: " + text + "\n";
    [[maybe_unused]] auto ignored = write(2, line.data(), line.size());
    if (g_error_fd >= 0) ignored = write(g_error_fd, line.data(), line.size());
    _exit(status);
}

const char kUsageText[] =
    "usage: tovana-sandbox [--write DIR]... [--network] [--cpu SECONDS] [--memory MB]\n"
    "                      [--file-size MB] [--open-files N] [--processes N] [--require]\n"
    "                      [--report FD] [--chdir DIR] [--die-with PID] [--unconfined]\n"
    "                      [--landlock-abi N] -- PROGRAM [ARG]...\n"
    "--unconfined applies the limits only: no filesystem or network confinement.\n"
    "--landlock-abi N uses at most Landlock ABI N (0: none), as an older kernel would.\n";

bool parse_number(const char* text, std::uint64_t& out) {
    if (!*text) return false;
    std::uint64_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        if (value > (UINT64_MAX - 9) / 10) return false;
        value = value * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    out = value;
    return true;
}

Options parse(int argc, char** argv, bool need_program) {
    Options o;
    int i = 1;
    auto value_of = [&](std::string_view name) -> const char* {
        if (i + 1 >= argc) fail(kUsage, "option " + std::string(name) + " needs a value");
        return argv[++i];
    };
    auto number_of = [&](std::string_view name) -> std::uint64_t {
        const char* text = value_of(name);
        std::uint64_t value;
        if (!parse_number(text, value))
            fail(kUsage, "option " + std::string(name) + " needs a whole number, not '" + text + "'");
        return value;
    };
    for (; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--help" || arg == "-h") {
            [[maybe_unused]] auto ignored = write(1, kUsageText, sizeof kUsageText - 1);
            _exit(0);
        }
        if (arg == "--write") {
            o.writable.emplace_back(value_of(arg));
        } else if (arg == "--network") {
            o.network = true;
        } else if (arg == "--landlock-abi") {
            std::uint64_t abi = number_of(arg);
            o.max_abi = static_cast<int>(std::min<std::uint64_t>(abi, 1000));
        } else if (arg == "--unconfined") {
            o.unconfined = true;
        } else if (arg == "--require") {
            o.require = true;
        } else if (arg == "--report") {
            std::uint64_t fd = number_of(arg);
            if (fd > 1 << 20 || fcntl(static_cast<int>(fd), F_GETFD) < 0)
                fail(kUsage, "--report " + std::to_string(fd) + " is not an open descriptor");
            o.report_fd = static_cast<int>(fd);
        } else if (arg == "--chdir") {
            o.chdir_to = value_of(arg);
        } else if (arg == "--die-with") {
            o.die_with = static_cast<long>(number_of(arg));
        } else {
            bool known = false;
            for (Limit& limit : o.limits) {
                if (arg == limit.option) {
                    limit.value = number_of(arg);
                    if (limit.value == 0 || limit.value > UINT64_MAX / limit.scale)
                        fail(kUsage, "option " + std::string(arg) + " is out of range");
                    limit.set = known = true;
                }
            }
            if (!known) fail(kUsage, "unknown option '" + std::string(arg) + "' (see --help)");
        }
    }
    if (need_program && i >= argc)
        fail(kUsage, "no program given (usage: tovana-sandbox [OPTION]... -- PROGRAM [ARG]...)");
    o.program = argv + i;
    return o;
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool write_file(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// Cut the network: a namespace of our own (needs CAP_SYS_ADMIN), else one
// inside a new user namespace that maps only our own ids.  Returns how, or
// an empty string.
std::string new_network_namespace(std::string& why) {
    if (unshare(CLONE_NEWNET) == 0) return "namespace";
    why = std::strerror(errno);
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        why += std::string(", user namespace: ") + std::strerror(errno);
        return {};
    }
    if (!write_file("/proc/self/setgroups", "deny") ||
        !write_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
        !write_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))
        fail(kCannot, std::string("cannot map ids in the new user namespace: ") + std::strerror(errno));
    return "user namespace";
}

struct Applied {
    int abi = 0;
    std::string filesystem = "none";
    std::string network = "allowed";
    std::vector<std::string> missing;  // what was asked for and could not be applied
    std::vector<std::string> notes;
};

bool add_path_rule(int ruleset, const std::string& path, std::uint64_t access, bool must_exist) {
    int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) {
        if (must_exist) fail(kCannot, "cannot allow writing beneath '" + path + "': " + std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) {
        // A rule on a file may hold only the rights that apply to files.
        access &= fs::execute | fs::write_file | fs::read_file | fs::truncate | fs::ioctl_dev;
    }
    PathBeneathAttr attr{access, fd};
    long rc = syscall(SYS_landlock_add_rule, ruleset, kRulePathBeneath, &attr, 0);
    int saved = errno;
    close(fd);
    if (rc != 0) fail(kCannot, "cannot add the Landlock rule for '" + path + "': " + std::strerror(saved));
    return true;
}

void apply_landlock(const Options& o, Applied& applied, bool cut_tcp) {
    int abi = applied.abi;
    if (abi < 1) {
        applied.missing.push_back("filesystem (no Landlock in this kernel)");
        if (cut_tcp) applied.missing.push_back("network (no namespace, no Landlock)");
        return;
    }
    std::uint64_t all = fs_rights(abi);
    RulesetAttr attr{all, 0, 0};
    if (cut_tcp) attr.handled_access_net = kNetBindTcp | kNetConnectTcp;
    if (abi >= 6) attr.scoped = kScopeSignal | (o.network ? 0 : kScopeAbstractUnix);
    long ruleset = syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0);
    if (ruleset < 0) fail(kCannot, std::string("cannot create a Landlock ruleset: ") + std::strerror(errno));
    int rs = static_cast<int>(ruleset);
    add_path_rule(rs, "/", fs::execute | fs::read_file | fs::read_dir, true);
    for (const std::string& folder : o.writable) add_path_rule(rs, folder, all, true);
    // Devices every program may write to: the null and zero devices, the
    // controlling terminal and the terminals on the standard descriptors.
    std::uint64_t device = (fs::read_file | fs::write_file | fs::truncate | fs::ioctl_dev) & all;
    for (const char* path : {"/dev/null", "/dev/zero", "/dev/full", "/dev/tty"}) add_path_rule(rs, path, device, false);
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat st {};
        char link[64], target[4096];
        if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) continue;
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (std::strncmp(target, "/dev/", 5) == 0) add_path_rule(rs, target, device, false);
    }
    if (syscall(SYS_landlock_restrict_self, rs, 0) != 0)
        fail(kCannot, std::string("cannot enforce the Landlock ruleset: ") + std::strerror(errno));
    close(rs);
    applied.filesystem = "landlock";
    if (cut_tcp) applied.network = "landlock tcp";
}

std::string report_line(const Options& o, const Applied& applied) {
    std::string out = "{\"landlock_abi\": " + std::to_string(applied.abi);
    out += std::string(", \"no_new_privs\": ") + (o.unconfined ? "false" : "true");
    out += ", \"filesystem\": " + json_string(applied.filesystem);
    out += ", \"writable\": [";
    for (std::size_t i = 0; i < o.writable.size(); ++i) out += (i ? ", " : "") + json_string(o.writable[i]);
    out += "], \"network\": " + json_string(applied.network) + ", \"limits\": {";
    bool first = true;
    for (const Limit& limit : o.limits) {
        if (!limit.set) continue;
        out += (first ? "" : ", ") + json_string(limit.key) + ": " + std::to_string(limit.value);
        first = false;
    }
    out += "}, \"complete\": ";
    out += applied.missing.empty() ? "true" : "false";
    out += ", \"missing\": [";
    for (std::size_t i = 0; i < applied.missing.size(); ++i) out += (i ? ", " : "") + json_string(applied.missing[i]);
    out += "], \"notes\": [";
    for (std::size_t i = 0; i < applied.notes.size(); ++i) out += (i ? ", " : "") + json_string(applied.notes[i]);
    return out + "]}\n";
}

#ifndef TOVANA_SANDBOX_LIBRARY
#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

// Descriptors the caller left inheritable reach no program: all but 0, 1
// and 2 close on exec (the report descriptor is closed before it anyway).
void close_on_exec_above_2() {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
#endif
    DIR* dir = opendir("/proc/self/fd");  // kernels before 5.11
    if (dir == nullptr) return;
    while (const dirent* entry = readdir(dir)) {
        int fd = std::atoi(entry->d_name);
        if (fd > 2 && fd != dirfd(dir)) fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    closedir(dir);
}

// The message for a failed exec, without allocating: the address-space limit
// is already in force.
[[noreturn]] void exec_failed(const char* program, int error) {
    char line[512];
    int n = std::snprintf(line, sizeof line, "tovana-sandbox: cannot run '%s': %s\n", program, std::strerror(error));
    if (n > 0) {
        [[maybe_unused]] auto ignored = write(2, line, std::min(static_cast<std::size_t>(n), sizeof line - 1));
    }
    _exit(error == ENOENT || error == ENOTDIR ? kNotFound : kCannot);
}
#endif

// Everything but the exec: the parent-death signal, the working folder, the
// layers, the report, the limits.
void confine(Options& o) {
    if (o.die_with >= 0) {
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
            fail(kCannot, std::string("cannot set the parent-death signal: ") + std::strerror(errno));
        if (getppid() != static_cast<pid_t>(o.die_with)) _exit(kCannot);  // the parent is gone already
    }
    if (!o.chdir_to.empty() && chdir(o.chdir_to.c_str()) != 0)
        fail(kCannot, "cannot change to '" + o.chdir_to + "': " + std::strerror(errno));

    Applied applied;
    applied.abi = landlock_abi();
    if (o.max_abi >= 0 && applied.abi > o.max_abi) applied.abi = o.max_abi;
    bool cut_tcp = false;
    if (!o.network && !o.unconfined) {
        std::string why;
        std::string how = new_network_namespace(why);
        if (!how.empty()) {
            applied.network = how;
        } else if (applied.abi >= 4) {
            cut_tcp = true;
            applied.notes.push_back("no network namespace (" + why + "): TCP cut by Landlock, UDP not cut");
            applied.missing.push_back("udp (no network namespace)");
        } else {
            applied.network = "not cut";
            applied.missing.push_back("network (no namespace: " + why + "; Landlock ABI below 4)");
        }
    }

    // Limits: never above the hard limit already in force, which only root may raise.
    struct rlimit wanted[5];
    for (int i = 0; i < 5; ++i) {
        Limit& limit = o.limits[i];
        if (!limit.set) continue;
        struct rlimit now {};
        getrlimit(limit.resource, &now);
        rlim_t value = static_cast<rlim_t>(limit.value * limit.scale);
        rlim_t hard = limit.resource == RLIMIT_CPU ? value + 1 : value;  // CPU: SIGXCPU, then SIGKILL
        if (now.rlim_max != RLIM_INFINITY && hard > now.rlim_max) hard = now.rlim_max;
        if (value > hard) value = hard;
        wanted[i] = {value, hard};
        if (limit.resource == RLIMIT_NPROC && geteuid() == 0)
            applied.notes.push_back("the process limit does not bind root");
    }

    if (o.unconfined) {
        applied.network = "allowed";
    } else {
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
            fail(kCannot, std::string("cannot set no_new_privs: ") + std::strerror(errno));
        apply_landlock(o, applied, cut_tcp);
    }

    if (o.report_fd >= 0) {
        std::string line = report_line(o, applied);
        [[maybe_unused]] auto ignored = write(o.report_fd, line.data(), line.size());
    }
    if (o.require && !applied.missing.empty()) {
        std::string what;
        for (const std::string& m : applied.missing) what += (what.empty() ? "" : "; ") + m;
        fail(kCannot, "sandbox incomplete: " + what);
    }
    if (o.report_fd >= 0) {
        close(o.report_fd);
        if (g_error_fd == o.report_fd) g_error_fd = -1;
    }
    // Last, and nothing allocated after it: the address-space limit may be
    // smaller than what this process has mapped already.
    for (int i = 0; i < 5; ++i) {
        if (o.limits[i].set && setrlimit(o.limits[i].resource, &wanted[i]) != 0)
            fail(kCannot, std::string("cannot set limit ") + o.limits[i].key + ": " + std::strerror(errno));
    }
}

}  // namespace

#ifdef TOVANA_SANDBOX_LIBRARY
// The same confinement for the calling thread of a process that goes on
// running (a worker's child that runs tool code): ``argv`` holds the options
// (argv[0] is ignored), the report goes to ``report_fd``, and so does the
// error line before the process exits with 125 or 126.  Returns 0.
extern "C" __attribute__((visibility("default"))) int tovana_sandbox_confine(int argc, char** argv, int report_fd) {
    g_error_fd = report_fd;
    Options o = parse(argc, argv, false);
    o.report_fd = report_fd;
    confine(o);
    return 0;
}
#else
int main(int argc, char** argv) {
    Options o = parse(argc, argv, true);
    close_on_exec_above_2();
    confine(o);
    execvp(o.program[0], o.program);
    exec_failed(o.program[0], errno);
}
#endif
