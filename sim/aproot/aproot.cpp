// aproot: start one program in a private mount namespace that looks like the
// AP's root, so a binary built for fixed paths (/tmp, /var/log, /dev/mem,
// /proc/mtd, /usr/lib/lua/...) runs unchanged on a PC.
//
//   aproot [options] -- program [args...]
//
//   --tmp DIR        /tmp is DIR (default: a fresh tmpfs)
//   --var DIR        /var is DIR (default: a fresh tmpfs holding log/ and run/)
//   --dev DIR        /dev is a fresh tmpfs holding null, zero, full, random,
//                    urandom and the standard fd links, plus every entry of DIR
//   --proc DIR       /proc is a fresh tmpfs holding the program's own /proc/self,
//                    plus every entry of DIR (e.g. a partition table "mtd")
//   --bind SRC:DST   SRC (file or folder) is mounted over DST (after /dev is
//                    replaced, so a host device can stand in); a DST that does
//                    not exist is made inside the namespace only, through an
//                    overlay on its nearest existing parent folder
//   --tmpfs DST:SIZE a fresh tmpfs of SIZE (in the mount option's form: 64k,
//                    1m, ...) is mounted over DST, an existing folder, after
//                    the binds (e.g. a small /var/log that fills up); mode 1777
//   --ro DST         DST (file or folder, after the binds and tmpfs mounts) is
//                    made read-only through a read-only bind onto itself
//   --argv0 NAME     the program sees NAME as its invocation name
//   --cwd DIR        the program starts in DIR (a path inside the sandbox)
//   --env KEY=VALUE  set in the program's environment only (so LD_PRELOAD or
//                    ASAN_OPTIONS given this way do not touch the launcher)
//
// The program and the libraries named in LD_PRELOAD are opened before
// anything is mounted, so they run even when they live under a folder the
// sandbox covers (a build tree below /tmp, say).
//
// Run as root it needs mount and PID namespaces; otherwise it also enters a
// user namespace in which the caller is root. The launcher waits for the
// sandbox's init (PID 1 inside), which runs the program, passes signals on
// and ends with the program's exit status; every process left in the sandbox
// ends with it. A launcher that is killed takes the sandbox with it.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Bind {
    std::string src;
    std::string dst;
    int fd = -1;  // O_PATH descriptor of src, opened before anything is covered
};

struct Options {
    std::string tmp, var, dev, proc, argv0, cwd;
    std::vector<Bind> binds;
    std::vector<std::pair<std::string, std::string>> tmpfs;  // folder, size
    std::vector<std::string> read_only;
    std::vector<std::string> envs;
    int prog = -1;  // index of the program in argv
};

[[noreturn]] void die(const char *what, const std::string &arg) {
    std::fprintf(stderr, "aproot: %s %s: %s\n", what, arg.c_str(), std::strerror(errno));
    std::fflush(nullptr);
    _exit(127);  // see the end of main for why not exit()
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: aproot [--tmp DIR] [--var DIR] [--dev DIR] [--proc DIR]\n"
                 "              [--bind SRC:DST]... [--tmpfs DST:SIZE]... [--ro DST]...\n"
                 "              [--argv0 NAME] [--cwd DIR] [--env K=V]...\n"
                 "              -- program [args...]\n");
    std::fflush(nullptr);
    _exit(127);  // see the end of main for why not exit()
}

Options parse_options(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            o.prog = i + 1;
            break;
        }
        if (i + 1 >= argc) usage();
        std::string v = argv[++i];
        if (a == "--tmp")
            o.tmp = v;
        else if (a == "--var")
            o.var = v;
        else if (a == "--dev")
            o.dev = v;
        else if (a == "--proc")
            o.proc = v;
        else if (a == "--argv0")
            o.argv0 = v;
        else if (a == "--cwd")
            o.cwd = v;
        else if (a == "--env" && v.find('=') != std::string::npos && v[0] != '=')
            o.envs.push_back(v);
        else if (a == "--bind") {
            auto colon = v.find(':');
            if (colon == std::string::npos || colon == 0 || colon + 1 == v.size()) usage();
            o.binds.push_back({v.substr(0, colon), v.substr(colon + 1)});
        } else if (a == "--tmpfs") {
            auto colon = v.rfind(':');
            if (colon == std::string::npos || colon == 0 || colon + 1 == v.size() || v[0] != '/')
                usage();
            o.tmpfs.emplace_back(v.substr(0, colon), v.substr(colon + 1));
        } else if (a == "--ro" && !v.empty() && v[0] == '/') {
            o.read_only.push_back(v);
        } else {
            usage();
        }
    }
    if (o.prog < 0 || o.prog >= argc) usage();
    return o;
}

void write_file(const char *path, const std::string &text) {
    int fd = open(path, O_WRONLY);
    if (fd < 0) die("open", path);
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        die("write", path);
    close(fd);
}

// Mount and PID namespaces (and a user namespace when not root): the next
// child is PID 1 of a process table of its own, so `ps` and `killall` in the
// sandbox see and touch only the sandbox's processes.
void enter_namespace() {
    if (geteuid() == 0) {
        if (unshare(CLONE_NEWNS | CLONE_NEWPID) != 0) die("unshare", "mount+pid namespace");
    } else {
        uid_t uid = geteuid();
        gid_t gid = getegid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWPID) != 0)
            die("unshare", "user+mount+pid namespace");
        write_file("/proc/self/setgroups", "deny");
        write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) die("mount", "/ private");
}

std::string fd_path(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

void mount_tmpfs(const std::string &at) {
    if (mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID, "mode=0755,size=64m") != 0)
        die("mount tmpfs on", at);
}

void bind_mount(const std::string &src, const std::string &dst) {
    if (mount(src.c_str(), dst.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        die("bind mount onto", dst);
}

// Creates an empty file or folder at `path` to mount something of `like` over.
void make_mount_point(const std::string &path, bool dir) {
    if (dir) {
        if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) die("mkdir", path);
    } else {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd < 0) die("create", path);
        close(fd);
    }
}

bool is_dir_fd(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

void mkdirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) die("mkdir", part);
        }
    }
}

// A private scratch folder on the namespace's /tmp, for mounts that are put
// together before they are moved into place.
std::string make_stage(const char *name) {
    std::string s = std::string("/tmp/.aproot-") + name + "-" + std::to_string(getpid());
    make_mount_point(s, true);
    mount_tmpfs(s);
    return s;
}

void move_stage(const std::string &stage, const std::string &to) {
    if (mount(stage.c_str(), to.c_str(), nullptr, MS_MOVE, nullptr) != 0) die("move mount to", to);
    rmdir(stage.c_str());
}

// Binds every entry of the folder open at `dirfd` into `into`.
void bind_entries(int dirfd, const std::string &into) {
    int copy = dup(dirfd);
    DIR *d = fdopendir(copy);
    if (!d) die("opendir", into);
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string src = fd_path(dirfd) + "/" + name;
        struct stat st {};
        if (stat(src.c_str(), &st) != 0) die("stat", src);
        make_mount_point(into + "/" + name, S_ISDIR(st.st_mode));
        bind_mount(src, into + "/" + name);
    }
    closedir(d);
}

int open_dir(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) die("open", path);
    return fd;
}

void setup_var() {
    mount_tmpfs("/var");
    mkdirs("/var/log");
    mkdirs("/var/run");
    mkdirs("/var/lock");
}

void setup_dev(int user_dirfd) {
    static const char *const kept[] = {"null", "zero", "full", "random", "urandom", "tty"};
    std::string stage = make_stage("dev");
    for (const char *name : kept) {
        std::string real = std::string("/dev/") + name;
        if (access(real.c_str(), F_OK) != 0) continue;
        make_mount_point(stage + "/" + name, false);
        bind_mount(real, stage + "/" + name);
    }
    const char *links[][2] = {{"fd", "/proc/self/fd"},
                              {"stdin", "/proc/self/fd/0"},
                              {"stdout", "/proc/self/fd/1"},
                              {"stderr", "/proc/self/fd/2"}};
    for (auto &l : links) symlink(l[1], (stage + "/" + l[0]).c_str());
    make_mount_point(stage + "/shm", true);
    make_mount_point(stage + "/pts", true);
    bind_entries(user_dirfd, stage);
    move_stage(stage, "/dev");
}

void setup_proc(int user_dirfd) {
    std::string self = "/proc/" + std::to_string(getpid());
    std::string stage = make_stage("proc");
    make_mount_point(stage + "/self", true);
    bind_mount(self, stage + "/self");
    // Keep the numbered entry too: /proc/self resolves through it.
    make_mount_point(stage + "/" + std::to_string(getpid()), true);
    bind_mount(self, stage + "/" + std::to_string(getpid()));
    bind_entries(user_dirfd, stage);
    move_stage(stage, "/proc");
}

// Makes `dst` exist, inside this namespace only. Its nearest existing parent
// folder gets a writable overlay whose upper layer lives on a tmpfs.
void create_inside_namespace(const std::string &dst, bool dir) {
    static std::vector<std::string> overlays;  // folders given an overlay already
    std::string parent = dst.substr(0, dst.rfind('/'));
    if (parent.empty()) parent = "/";
    std::string existing = parent;
    while (!existing.empty() && access(existing.c_str(), F_OK) != 0)
        existing = existing.substr(0, existing.rfind('/'));
    if (existing.empty() || existing == "/") {
        errno = EINVAL;  // an overlay over / itself would cover everything
        die("no folder to create", dst);
    }
    char real[PATH_MAX];
    if (!realpath(existing.c_str(), real)) die("realpath", existing);
    std::string real_parent = std::string(real) + parent.substr(existing.size());
    bool have = false;
    for (const auto &o : overlays) have = have || o == real;
    if (have) {
        mkdirs(real_parent);
        make_mount_point(real_parent + dst.substr(parent.size()), dir);
        return;
    }
    overlays.push_back(real);
    std::string stage = make_stage("ovl");
    mkdirs(stage + "/upper");
    mkdirs(stage + "/work");
    std::string opts = std::string("lowerdir=") + real + ",upperdir=" + stage +
                       "/upper,workdir=" + stage + "/work";
    if (mount("overlay", real, "overlay", 0, opts.c_str()) != 0) die("mount overlay on", real);
    // The overlay keeps its own reference to the upper layer.
    umount2(stage.c_str(), MNT_DETACH);
    rmdir(stage.c_str());
    mkdirs(real_parent);
    make_mount_point(real_parent + dst.substr(parent.size()), dir);
}

// Binds come after /dev is replaced, so a device of the host (e.g. /dev/null)
// can stand in for one of the AP's.
void setup_binds(std::vector<Bind> &binds, bool own_dev) {
    // Every mount point first: an overlay made for one would hide a bind
    // already made below it for another.
    for (auto &b : binds) {
        bool dir = is_dir_fd(b.fd);
        bool ours = b.dst.rfind("/tmp/", 0) == 0 || b.dst.rfind("/var/", 0) == 0 ||
                    (own_dev && b.dst.rfind("/dev/", 0) == 0);
        if (access(b.dst.c_str(), F_OK) == 0) continue;  // mounted over as it is
        if (ours) {
            // these folders already belong to this namespace (or to the caller)
            mkdirs(b.dst.substr(0, b.dst.rfind('/')));
            make_mount_point(b.dst, dir);
        } else {
            create_inside_namespace(b.dst, dir);
        }
    }
    for (auto &b : binds) bind_mount(fd_path(b.fd), b.dst);
}

// Opens every absolute path of LD_PRELOAD and names it by its descriptor
// instead (the descriptors stay open across exec for the loader).
void pin_preload_libraries() {
    const char *preload = getenv("LD_PRELOAD");
    if (!preload) return;
    std::string out, list = preload;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find_first_of(": ", start);
        if (end == std::string::npos) end = list.size();
        std::string lib = list.substr(start, end - start);
        if (!lib.empty()) {
            int fd = lib[0] == '/' ? open(lib.c_str(), O_RDONLY) : -1;
            if (!out.empty()) out += ':';
            out += fd >= 0 ? fd_path(fd) : lib;
        }
        start = end + 1;
    }
    setenv("LD_PRELOAD", out.c_str(), 1);
}

[[noreturn]] void exec_program(int prog_fd, const std::string &prog, std::vector<char *> &args) {
    execv(prog.c_str(), args.data());
    if (errno == ENOENT || errno == ENOTDIR)  // hidden by a mount: run it by descriptor
        syscall(SYS_execveat, prog_fd, "", args.data(), environ, AT_EMPTY_PATH);
    die("exec", prog);
}

}  // namespace

namespace {

volatile sig_atomic_t forward_to = 0;  // the process signals are passed on to
void forward_signal(int sig) {
    if (forward_to > 0) kill(forward_to, sig);
}
void forward_signals_to(pid_t pid) {
    forward_to = pid;
    struct sigaction sa {};
    sa.sa_handler = forward_signal;
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
}

// Waits for `pid` (reaping every other child meanwhile, as an init must) and
// returns its exit status, or 128 + the signal that ended it.
int wait_for(pid_t pid) {
    for (;;) {
        int st = 0;
        pid_t got = waitpid(-1, &st, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return 127;
        if (got == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
}

struct Sources {
    int tmp = -1, var = -1, dev = -1, proc = -1, prog = -1;
};

// In the program's own process: the sandbox's mounts, then the program.
[[noreturn]] void start_program(Options &o, const Sources &src, int argc, char **argv) {
    // The sandbox's own process table (the steps below read /proc/self/fd).
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        die("mount proc on", "/proc");
    if (src.tmp >= 0)
        bind_mount(fd_path(src.tmp), "/tmp");
    else
        mount_tmpfs("/tmp");
    if (src.var >= 0)
        bind_mount(fd_path(src.var), "/var");
    else
        setup_var();
    if (src.dev >= 0) setup_dev(src.dev);
    setup_binds(o.binds, src.dev >= 0);
    for (const auto &t : o.tmpfs) {
        std::string opts = "mode=1777,size=" + t.second;
        if (mount("tmpfs", t.first.c_str(), "tmpfs", MS_NOSUID, opts.c_str()) != 0)
            die("mount tmpfs on", t.first);
    }
    for (const auto &r : o.read_only) {
        bind_mount(r, r);
        if (mount(nullptr, r.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            die("remount read-only", r);
    }
    if (src.proc >= 0) setup_proc(src.proc);  // last: the steps above read /proc/self/fd
    for (int fd : {src.tmp, src.var, src.dev, src.proc})
        if (fd >= 0) close(fd);
    for (auto &b : o.binds) close(b.fd);
    if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) die("chdir", o.cwd);

    std::vector<char *> args(argv + o.prog, argv + argc);
    args.push_back(nullptr);
    if (!o.argv0.empty()) args[0] = const_cast<char *>(o.argv0.c_str());
    exec_program(src.prog, argv[o.prog], args);
}

// PID 1 of the sandbox: starts the program, passes signals on, reaps
// orphans, and ends (taking every process of the sandbox with it) when the
// program ends.
// `alive` is the read end of a pipe whose write end only the launcher holds.
[[noreturn]] void run_init(Options &o, const Sources &src, int argc, char **argv, int alive) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a launcher killed takes the sandbox down
    // The launcher lies outside this PID namespace (getppid() is 0 here):
    // whether it died before the line above shows as the pipe's closed end.
    struct pollfd p = {alive, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) _exit(127);
    close(alive);
    pid_t program = fork();
    if (program < 0) die("fork", "program");
    if (program == 0) start_program(o, src, argc, argv);
    forward_signals_to(program);
    _exit(wait_for(program));
}

}  // namespace

int main(int argc, char **argv) {
    Options o = parse_options(argc, argv);
    // Sources are opened inside the new namespace (a bind needs a source mount
    // of the caller's own namespace) but before anything covers them.
    enter_namespace();
    for (auto &b : o.binds) {
        b.fd = open(b.src.c_str(), O_PATH | O_CLOEXEC);
        if (b.fd < 0) die("open", b.src);
        // An absolute path without "..": a target cannot reach out of the
        // folders it names (e.g. /tmp/../etc on the host).
        if (b.dst.empty() || b.dst[0] != '/' || b.dst.find("/..") != std::string::npos) usage();
    }
    Sources src;
    src.prog = open(argv[o.prog], O_RDONLY | O_CLOEXEC);
    if (src.prog < 0) die("open", argv[o.prog]);
    for (const auto &kv : o.envs) {
        size_t eq = kv.find('=');
        setenv(kv.substr(0, eq).c_str(), kv.c_str() + eq + 1, 1);
    }
    pin_preload_libraries();
    src.tmp = o.tmp.empty() ? -1 : open_dir(o.tmp);
    src.var = o.var.empty() ? -1 : open_dir(o.var);
    src.dev = o.dev.empty() ? -1 : open_dir(o.dev);
    src.proc = o.proc.empty() ? -1 : open_dir(o.proc);

    int alive[2];
    if (pipe2(alive, O_CLOEXEC) != 0) die("pipe", "init");
    pid_t init = fork();
    if (init < 0) die("fork", "init");
    if (init == 0) {
        close(alive[1]);
        run_init(o, src, argc, argv, alive[0]);
    }
    close(alive[0]);
    forward_signals_to(init);
    int status = wait_for(init);
    // _exit: once the sandbox's init has ended, this process can start no
    // more children there (exit-time work of sanitizer runtimes would try).
    std::fflush(nullptr);
    _exit(status);
}
