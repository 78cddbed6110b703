// Running ceupdate as a child process, for the end-to-end suites.
#include "tests/support/cli.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testing_support {

namespace {

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

[[noreturn]] void ExecChild(const std::vector<std::string>& args, const CliOptions& options,
                            int in, int out, int err) {
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    std::string program = CEUPDATE_BIN;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

// Feeds stdin and drains stdout and stderr together, so no pipe fills up. False when
// the timeout (seconds, 0: none) passed first.
bool Pump(int& in, int& out, int& err, const std::string& input, double timeout, CliResult& result) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
    size_t written = 0;
    if (in >= 0 && input.empty()) CloseFd(in);
    char buffer[65536];
    while (out >= 0 || err >= 0) {
        pollfd fds[3];
        int n = 0;
        if (in >= 0) fds[n++] = {in, POLLOUT, 0};
        if (out >= 0) fds[n++] = {out, POLLIN, 0};
        if (err >= 0) fds[n++] = {err, POLLIN, 0};
        int wait = -1;
        if (timeout > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            wait = static_cast<int>(left.count());
        }
        const int ready = poll(fds, n, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("poll failed");
        }
        if (ready == 0) continue;
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in) {
                ssize_t w = write(in, input.data() + written, input.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 || written == input.size()) CloseFd(in);
                continue;
            }
            int& fd = fds[i].fd == out ? out : err;
            std::string& sink = fds[i].fd == out ? result.out : result.err;
            ssize_t r = read(fd, buffer, sizeof buffer);
            if (r > 0) {
                sink.append(buffer, static_cast<size_t>(r));
            } else if (r == 0 || errno != EINTR) {
                CloseFd(fd);
            }
        }
    }
    CloseFd(in);
    return true;
}

}  // namespace

CliResult RunCli(const std::vector<std::string>& args, const CliOptions& options) {
    int inPipe[2] = {-1, -1}, outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot create pipes");
    }
    int childIn;
    if (options.stdinText) {
        if (pipe2(inPipe, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe");
        childIn = inPipe[0];
    } else {
        childIn = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) ExecChild(args, options, childIn, outPipe[1], errPipe[1]);

    close(childIn);
    close(outPipe[1]);
    close(errPipe[1]);
    // A child that stops reading stdin must not kill the test with SIGPIPE.
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    CliResult result;
    int in = inPipe[1], out = outPipe[0], err = errPipe[0];
    const bool ended = Pump(in, out, err, options.stdinText.value_or(""), options.timeoutSeconds, result);
    sigaction(SIGPIPE, &previous, nullptr);
    if (!ended) {
        kill(pid, SIGKILL);
        for (int* fd : {&in, &out, &err}) CloseFd(*fd);
    }

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = !ended ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

CliResult RunOnImage(const std::filesystem::path& image, std::vector<std::string> args,
                     const CliOptions& options) {
    args.push_back("--device");
    args.push_back(image.string());
    return RunCli(args, options);
}

size_t LineCount(const std::string& text) {
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    if (!text.empty() && text.back() != '\n') ++lines;
    return lines;
}

void WriteTextFile(const std::filesystem::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

Fingerprint FolderFingerprint(const std::filesystem::path& folder) {
    Fingerprint files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        uint64_t hash = 14695981039346656037ull;  // FNV-1a
        for (unsigned char c : content) hash = (hash ^ c) * 1099511628211ull;
        files[std::filesystem::relative(entry.path(), folder).string()] = hash;
    }
    return files;
}

}  // namespace testing_support
