#include "support/test_support.h"

#include <csignal>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>

namespace dravonel::test {

std::filesystem::path fixturePath(const std::string& name) { return std::filesystem::path(DRAVONEL_FIXTURE_DIR) / name; }

std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::uint8_t> fixtureBytes(const std::string& name) { return readFileBytes(fixturePath(name)); }

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::filesystem::path makeTempDir(const std::string& stem) {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto dir = std::filesystem::temp_directory_path() / (stem + "-" + std::to_string(rd()));
        if (std::filesystem::create_directory(dir)) return dir;
    }
    return {};
}

namespace {
std::string slurp(int fd) {
    std::string s;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
    return s;
}
}  // namespace

CliResult runCli(const std::vector<std::string>& args) { return runCliInterrupted(args, -1); }

CliResult runCliInterrupted(const std::vector<std::string>& args, int interruptAfterMs) {
    CliResult result;
    char outTemplate[] = "/tmp/dravonel-cli-out-XXXXXX";
    char errTemplate[] = "/tmp/dravonel-cli-err-XXXXXX";
    const int outFd = ::mkstemp(outTemplate);
    const int errFd = ::mkstemp(errTemplate);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outFd, STDOUT_FILENO);
        ::dup2(errFd, STDERR_FILENO);
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, STDIN_FILENO);
        std::vector<char*> argv;
        std::string exe = DRAVONEL_CLI_PATH;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    if (interruptAfterMs >= 0) {
        ::usleep(static_cast<useconds_t>(interruptAfterMs) * 1000);
        ::kill(pid, SIGINT);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    ::lseek(outFd, 0, SEEK_SET);
    ::lseek(errFd, 0, SEEK_SET);
    result.out = slurp(outFd);
    result.err = slurp(errFd);
    ::close(outFd);
    ::close(errFd);
    ::unlink(outTemplate);
    ::unlink(errTemplate);
    return result;
}

}  // namespace dravonel::test
