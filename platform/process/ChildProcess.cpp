#include "platform/process/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace veltrane::process {

namespace {

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

int decodeStatus(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return WTERMSIG(raw);
    return raw;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::spawn(const std::string& path, const std::vector<std::string>& args,
                                                  std::string& error, Group group) {
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        error = std::string("Could not create a pipe: ") + std::strerror(errno);
        return nullptr;
    }
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        error = std::string("Could not create a pipe: ") + std::strerror(errno);
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return nullptr;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the targets only.
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    // Belt and braces for descriptors opened by libraries without O_CLOEXEC:
    // a child must never hold a listening socket or another child's pipe.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The child starts with default signal dispositions (we ignore SIGPIPE).
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    sigset_t noMask;
    sigemptyset(&noMask);
    posix_spawnattr_setsigmask(&attr, &noMask);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (group == Group::own) {
        posix_spawnattr_setpgroup(&attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attr, flags);

    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (rc != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        error = "Could not run " + path + ": " + std::strerror(rc);
        return nullptr;
    }
    ::fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
    ::fcntl(errPipe[0], F_SETFL, O_NONBLOCK);
    return std::unique_ptr<ChildProcess>(new ChildProcess(pid, outPipe[0], errPipe[0], group));
}

ChildProcess::~ChildProcess() {
    closeFd(outFd_);
    closeFd(errFd_);
    if (!status_ && isRunning()) {
        pid_t pid = pid_;
        std::thread([pid] {
            int raw;
            while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
}

bool ChildProcess::isRunning() {
    if (status_) return false;
    int raw = 0;
    pid_t r = ::waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
        status_ = decodeStatus(raw);
        return false;
    }
    if (r < 0 && errno == ECHILD) {  // reaped elsewhere; the status is lost
        status_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::sendSignal(int signal) {
    // Only before the child is reaped: until then its id, and so its group's,
    // cannot have been reused.
    if (!status_) ::kill(group_ == Group::own ? -pid_ : pid_, signal);
}

bool ChildProcess::pumpImpl(std::chrono::milliseconds timeout, RawSink sink, void* ctx) {
    pollfd fds[2];
    Stream streams[2];
    int* owners[2];
    nfds_t n = 0;
    if (outFd_ >= 0) {
        fds[n] = {outFd_, POLLIN, 0};
        streams[n] = Stream::out;
        owners[n++] = &outFd_;
    }
    if (errFd_ >= 0) {
        fds[n] = {errFd_, POLLIN, 0};
        streams[n] = Stream::err;
        owners[n++] = &errFd_;
    }
    if (n == 0) return false;
    int ready = ::poll(fds, n, static_cast<int>(timeout.count()));
    if (ready <= 0) return true;
    char buffer[65536];
    for (nfds_t i = 0; i < n; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
        if (got > 0)
            sink(ctx, streams[i], buffer, static_cast<std::size_t>(got));
        else if (got == 0 || (errno != EAGAIN && errno != EINTR))
            closeFd(*owners[i]);
    }
    return pipesOpen();
}

}  // namespace veltrane::process
