// emulated-adapter: runs a command in a private mount namespace where emulated USB HID
// devices exist: a made-up /sys tree that libudev and hidapi enumerate, and device nodes
// served over FUSE that answer the hidraw ioctls, reads and polls.

#include "control_server.h"
#include "world.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr int kExitCannotEmulate = 77;
constexpr const char* kShimName = "libemulated-sysfs-shim.so";
constexpr const char* kNodeFolder = "emulated";  // below /dev

void say(const std::string& message)
{
    std::string line = "emulated-adapter: " + message + "\n";
    [[maybe_unused]] auto n = write(STDERR_FILENO, line.data(), line.size());
}

[[noreturn]] void fail(int code, const std::string& message)
{
    say(message);
    _exit(code);
}

void usage(FILE* out)
{
    std::fputs(
        "usage: emulated-adapter [options] -- COMMAND [ARGS...]\n"
        "\n"
        "Runs COMMAND in a private mount namespace that holds emulated USB HID devices:\n"
        "a made-up /sys tree (seen by libudev and hidapi) and device nodes under\n"
        "/dev/emulated/ that answer the hidraw ioctls, read() and poll(). The real /dev\n"
        "and /sys outside stay untouched. Needs root and /dev/fuse; exits 77 without them.\n"
        "Exits with COMMAND's status (128+N if a signal N ended it).\n"
        "\n"
        "options:\n"
        "  --no-adapter             do not create the default device 'adapter'\n"
        "                           (VID 0x0010, PID 0x0001, 8-byte feature report)\n"
        "  --raw N                  the adapter's raw sample (byte 3 of the feature buffer), 0..255\n"
        "  --signal SIGNAL          the adapter's sample as a signal: 'const N',\n"
        "                           'sine MIN MAX PERIOD_S' or 'idle' (an engine at idle)\n"
        "  --device NAME:VID:PID    one more device with the adapter's descriptor (repeatable)\n"
        "  --control PATH           control socket (default: a fresh folder under /tmp)\n"
        "  -h, --help               this text\n"
        "\n"
        "COMMAND gets EMULATED_ADAPTER_CONTROL (the socket path) and LD_PRELOAD extended by\n"
        "a shim that makes the tmpfs under /sys look like sysfs to libudev.\n"
        "\n"
        "control protocol: one command per line, one reply line starting 'ok' or 'error REASON'\n"
        "  add NAME [vid=0xVVVV] [pid=0xPPPP] [descriptor=HEX] [feature=HEX]\n"
        "      [manufacturer=S] [product=S] [serial=S] [raw=N]   define and plug a device\n"
        "      (strings with blanks in double quotes: product=\"Lambda Adapter\")\n"
        "  unplug NAME | plug NAME | remove NAME\n"
        "  raw NAME N                          constant raw sample\n"
        "  signal NAME const N | sine MIN MAX PERIOD_S | idle\n"
        "  feature NAME HEX [id=N]             whole feature report contents (after the ID);\n"
        "                                      turns the signal off until raw/signal\n"
        "  fail NAME COUNT ERRNO               next COUNT feature reads fail (EIO, EPIPE, 5, ...)\n"
        "  stall NAME SECONDS                  feature reads answer after SECONDS (0: off)\n"
        "  input NAME HEX                      one input report, bytes exactly as read() returns\n"
        "                                      them (with the report ID byte only for devices\n"
        "                                      that use report IDs); -> ok delivered=N\n"
        "  stats NAME   -> ok feature_reads=N input_pending=N input_read=N opens=N last_read_ns=T ...\n"
        "  reads NAME [LAST] -> ok T1 T2 ...   CLOCK_MONOTONIC ns of answered feature reads\n"
        "  list | ping | help\n",
        out);
}

struct Options {
    bool adapter = true;
    emulated::Signal signal;
    std::vector<emulated::DeviceConfig> extra;
    std::string control;
    std::vector<char*> command;
};

Options parseArgs(int argc, char** argv)
{
    Options o;
    o.signal.startNs = emulated::monotonicNs();
    int i = 1;
    auto need = [&](const char* opt) -> std::string {
        if (i + 1 >= argc) fail(2, std::string(opt) + " needs a value");
        return argv[++i];
    };
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "-h" || a == "--help") {
            usage(stdout);
            std::exit(0);
        } else if (a == "--no-adapter") {
            o.adapter = false;
        } else if (a == "--raw") {
            std::string error;
            auto s = emulated::parseSignal({"const", need("--raw")}, error);
            if (!s) fail(2, "--raw: " + error);
            o.signal = *s;
        } else if (a == "--signal") {
            std::vector<std::string> words;
            std::string arg = need("--signal");
            std::size_t pos = 0;
            while (pos < arg.size()) {
                const auto end = arg.find(' ', pos);
                const auto word = arg.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
                if (!word.empty()) words.push_back(word);
                if (end == std::string::npos) break;
                pos = end + 1;
            }
            std::string error;
            auto s = emulated::parseSignal(words, error);
            if (!s) fail(2, "--signal: " + error);
            o.signal = *s;
        } else if (a == "--device") {
            const std::string arg = need("--device");
            const auto c1 = arg.find(':');
            const auto c2 = arg.find(':', c1 == std::string::npos ? c1 : c1 + 1);
            if (c1 == std::string::npos || c2 == std::string::npos) fail(2, "--device wants NAME:VID:PID");
            emulated::DeviceConfig cfg;
            cfg.name = arg.substr(0, c1);
            char* end = nullptr;
            const unsigned long vid = std::strtoul(arg.substr(c1 + 1, c2 - c1 - 1).c_str(), &end, 16);
            const bool vidOk = *end == '\0';
            const unsigned long pid = std::strtoul(arg.substr(c2 + 1).c_str(), &end, 16);
            if (!vidOk || *end != '\0' || vid > 0xFFFF || pid > 0xFFFF) fail(2, "--device: VID and PID are hex, 0..ffff");
            cfg.vid = static_cast<std::uint16_t>(vid);
            cfg.pid = static_cast<std::uint16_t>(pid);
            o.extra.push_back(cfg);
        } else if (a == "--control") {
            o.control = need("--control");
        } else {
            fail(2, "unknown option '" + a + "' (see --help)");
        }
    }
    for (; i < argc; ++i) o.command.push_back(argv[i]);
    if (o.command.empty()) fail(2, "no command given: emulated-adapter [options] -- COMMAND [ARGS...]");
    o.command.push_back(nullptr);
    return o;
}

std::string selfDir()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return fs::path(buf).parent_path().string();
}

void mountOrFail(const char* source, const char* target, const char* type, unsigned long flags, const char* data)
{
    if (mount(source, target, type, flags, data) != 0) {
        fail(kExitCannotEmulate, std::string("cannot mount ") + target + ": " + std::strerror(errno));
    }
}

// The new /dev holds only what programs usually need, bound from the real one, plus our folder.
void populateDev(const std::string& realDev)
{
    static const char* const nodes[] = {"null", "zero",  "full", "random", "urandom", "tty",
                                        "fuse", "ptmx",  "pts",  "shm",    "mqueue",  "hugepages",
                                        "log",  "kmsg",  "dri",  "console"};
    for (const char* name : nodes) {
        const std::string src = realDev + "/" + name;
        const std::string dst = std::string("/dev/") + name;
        struct stat st {};
        if (lstat(src.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t n = readlink(src.c_str(), target, sizeof target - 1);
            if (n > 0) {
                target[n] = '\0';
                [[maybe_unused]] int r = symlink(target, dst.c_str());
            }
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            mkdir(dst.c_str(), st.st_mode & 07777);
        } else {
            const int fd = open(dst.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
            if (fd >= 0) close(fd);
        }
        if (mount(src.c_str(), dst.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            say("cannot bind /dev/" + std::string(name) + ": " + std::strerror(errno));
        }
    }
    for (auto [name, target] : {std::pair{"fd", "/proc/self/fd"}, std::pair{"stdin", "/proc/self/fd/0"},
                                std::pair{"stdout", "/proc/self/fd/1"}, std::pair{"stderr", "/proc/self/fd/2"},
                                std::pair{"core", "/proc/kcore"}}) {
        [[maybe_unused]] int r = symlink(target, (std::string("/dev/") + name).c_str());
    }
}

// The made-up /sys gets a few real folders back (cpu topology, cgroups, kernel knobs)
// so the command's runtime libraries keep working.
void bindRealSys(const std::string& realSys)
{
    for (const char* sub : {"devices/system", "fs", "kernel", "module", "firmware"}) {
        const std::string src = realSys + "/" + sub;
        const std::string dst = std::string("/sys/") + sub;
        if (access(src.c_str(), F_OK) != 0) continue;
        std::error_code ec;
        fs::create_directories(dst, ec);
        if (mount(src.c_str(), dst.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            say("cannot bind /sys/" + std::string(sub) + ": " + std::strerror(errno));
        }
    }
}

std::vector<std::string> childEnvironment(const std::string& shim, const std::string& control)
{
    std::vector<std::string> env;
    std::string preload = shim;
    std::string asan = "verify_asan_link_order=0";
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        if (kv.rfind("LD_PRELOAD=", 0) == 0) {
            const std::string old = kv.substr(11);
            if (!old.empty()) preload = old + ":" + shim;
        } else if (kv.rfind("ASAN_OPTIONS=", 0) == 0) {
            const std::string old = kv.substr(13);
            // The shim is preloaded ahead of an ASan runtime that the command links itself.
            if (!old.empty()) asan = old + ":" + asan;
        } else if (kv.rfind("EMULATED_ADAPTER_CONTROL=", 0) != 0) {
            env.push_back(kv);
        }
    }
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("ASAN_OPTIONS=" + asan);
    env.push_back("EMULATED_ADAPTER_CONTROL=" + control);
    return env;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt = parseArgs(argc, argv);

    if (geteuid() != 0) fail(kExitCannotEmulate, "needs root (mount namespaces and FUSE); not emulating");
    if (access("/dev/fuse", R_OK | W_OK) != 0) fail(kExitCannotEmulate, "/dev/fuse is missing; not emulating");
    const std::string shim = selfDir() + "/" + kShimName;
    if (access(shim.c_str(), R_OK) != 0) fail(1, "cannot find " + shim);

    // Signals are taken with sigwaitinfo in the main thread; every thread inherits the mask.
    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&handled, s);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    signal(SIGPIPE, SIG_IGN);

    char workTemplate[] = "/tmp/emulated-adapter.XXXXXX";
    if (!mkdtemp(workTemplate)) fail(1, std::string("cannot create a folder under /tmp: ") + std::strerror(errno));
    const std::string work = workTemplate;
    const bool ownControl = opt.control.empty();
    const std::string control = ownControl ? work + "/control" : opt.control;

    // Namespace first: no thread may exist before unshare(CLONE_NEWNS).
    if (unshare(CLONE_NEWNS) != 0) {
        rmdir(work.c_str());
        fail(kExitCannotEmulate, std::string("cannot create a mount namespace: ") + std::strerror(errno));
    }
    mountOrFail(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);

    // Keep the real /dev and /sys reachable while their replacements are filled in.
    const std::string stage = work + "/stage";
    mkdir(stage.c_str(), 0700);
    mountOrFail("emulated-stage", stage.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0700");
    mkdir((stage + "/dev").c_str(), 0755);
    mkdir((stage + "/sys").c_str(), 0755);
    mountOrFail("/dev", (stage + "/dev").c_str(), nullptr, MS_BIND | MS_REC, nullptr);
    mountOrFail("/sys", (stage + "/sys").c_str(), nullptr, MS_BIND | MS_REC, nullptr);

    mountOrFail("emulated-dev", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755");
    mountOrFail("emulated-sys", "/sys", "tmpfs", MS_NOSUID | MS_NOEXEC | MS_NODEV, "mode=0755");
    populateDev(stage + "/dev");
    bindRealSys(stage + "/sys");
    umount2(stage.c_str(), MNT_DETACH);
    rmdir(stage.c_str());

    emulated::World world("/sys", std::string("/dev/") + kNodeFolder, kNodeFolder);
    std::string error;
    if (!world.prepare(error)) fail(kExitCannotEmulate, error);
    if (opt.adapter) {
        emulated::DeviceConfig adapter;
        adapter.name = "adapter";
        if (!world.addDevice(adapter, opt.signal, error)) fail(1, "adapter: " + error);
    }
    for (auto& cfg : opt.extra) {
        emulated::Signal s;
        s.startNs = emulated::monotonicNs();
        if (!world.addDevice(cfg, s, error)) fail(2, "--device " + cfg.name + ": " + error);
    }

    emulated::ControlServer server([&world](const std::string& line) { return world.command(line); });
    if (!server.listen(control, error)) fail(1, error);

    const auto envStrings = childEnvironment(shim, control);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);

    world.start();
    server.start();

    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) fail(1, std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvpe(opt.command[0], opt.command.data(), envp.data());
        const int err = errno;
        say(std::string("cannot run ") + opt.command[0] + ": " + std::strerror(err));
        _exit(err == ENOENT ? 127 : 126);
    }

    int status = 0;
    for (;;) {
        siginfo_t info{};
        const int sig = sigwaitinfo(&handled, &info);
        if (sig < 0) continue;
        if (sig == SIGCHLD) {
            const pid_t r = waitpid(child, &status, WNOHANG);
            if (r == child) break;
            continue;
        }
        kill(child, sig);
    }

    server.stop();
    world.stop();
    if (ownControl) {
        unlink(control.c_str());
        rmdir(work.c_str());
    } else {
        rmdir(work.c_str());
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::fflush(stdout);
    _exit(code);
}
