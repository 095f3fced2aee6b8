// Signing and checking through osslsigncode, run as a child process.
#include "tools/mkpatch/sign.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "tools/mkpatch/error.h"
#include "tools/mkpatch/files.h"

extern char **environ;

namespace fs = std::filesystem;

namespace {

// A file descriptor closed when it goes out of scope.
struct sign_fd {
    int fd = -1;
    ~sign_fd()
    {
        if (fd >= 0)
            close(fd);
    }
    void reset()
    {
        close(fd);
        fd = -1;
    }
};

// Runs osslsigncode (found on PATH) with args, input on its standard input,
// its standard output and error collected in *output. Returns its exit code.
int sign_run(const std::vector<std::string> &args, const std::string &input, std::string *output)
{
    std::vector<std::string> all = {"osslsigncode"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        throw mkpatch_error(std::string("cannot make a pipe: ") + strerror(errno));
    sign_fd in_read{in[0]}, in_write{in[1]};
    if (pipe2(out, O_CLOEXEC) != 0)
        throw mkpatch_error(std::string("cannot make a pipe: ") + strerror(errno));
    sign_fd out_read{out[0]}, out_write{out[1]};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    pid_t pid;
    int err = posix_spawnp(&pid, "osslsigncode", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err)
        throw mkpatch_error(std::string("cannot run osslsigncode: ") + strerror(err) +
                            " (it comes in the osslsigncode package)");
    in_read.reset();
    out_write.reset();

    // A child that ends without reading its input must not end mkpatch.
    struct sigaction ignore = {}, saved;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &saved);
    for (size_t done = 0; done < input.size();) {
        ssize_t n = write(in_write.fd, input.data() + done, input.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    sigaction(SIGPIPE, &saved, nullptr);
    in_write.reset();

    char buf[4096];
    for (;;) {
        ssize_t n = read(out_read.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        output->append(buf, static_cast<size_t>(n));
    }
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw mkpatch_error(std::string("cannot wait for osslsigncode: ") + strerror(errno));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The key's password from its file (the first line) or its variable; false
// when none is given.
bool sign_password(const sign_options &o, std::string *pass)
{
    if (!o.pass_file.empty()) {
        std::vector<uint8_t> text = file_read(file_path(o.pass_file));
        pass->assign(text.begin(), text.end());
        pass->resize(pass->find_first_of("\r\n") == std::string::npos ? pass->size() : pass->find_first_of("\r\n"));
        return true;
    }
    if (!o.pass_env.empty()) {
        const char *value = getenv(o.pass_env.c_str());
        if (!value)
            throw mkpatch_error("--pass-env: the environment variable " + o.pass_env + " is not set");
        *pass = value;
        return true;
    }
    return false;
}

// The value of the first line of osslsigncode's output that reads
// "name : value" (spaces before the colon or none), trimmed.
std::string sign_field(const std::string &text, const std::string &name)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos || line.compare(at, name.size(), name) != 0)
            continue;
        size_t colon = line.find_first_not_of(" \t", at + name.size());
        if (colon == std::string::npos || line[colon] != ':')
            continue;
        size_t start = line.find_first_not_of(" \t", colon + 1);
        size_t end = line.find_last_not_of(" \t\r");
        return start == std::string::npos ? "" : line.substr(start, end + 1 - start);
    }
    return "";
}
}  // namespace

void sign_file(const fs::path &in, const fs::path &out, const sign_options &o)
{
    for (char c : o.description) {
        if (c < 0x20 || c > 0x7E)
            throw mkpatch_error("--description: '" + o.description +
                                "' is not plain ASCII, and the signature keeps its description in ASCII");
    }
    std::vector<std::string> args = {"sign"};
    if (!o.pkcs12.empty())
        args.insert(args.end(), {"-pkcs12", o.pkcs12});
    else
        args.insert(args.end(), {"-certs", o.cert, "-key", o.key});
    std::string pass;
    if (sign_password(o, &pass))
        args.insert(args.end(), {"-readpass", "-"});
    args.insert(args.end(), {"-h", "sha256", "-n", o.description});
    if (!o.timestamp.empty())
        args.insert(args.end(), {"-ts", o.timestamp});
    args.insert(args.end(), {"-in", in.string(), "-out", out.string()});
    std::string output;
    int rc = sign_run(args, pass, &output);
    if (rc != 0)
        throw mkpatch_error("osslsigncode could not sign " + file_utf8(in) + " (exit code " + std::to_string(rc) +
                            "):\n" + output.substr(0, output.find_last_not_of("\r\n") + 1));
}

sign_report sign_check(const fs::path &file)
{
    sign_report r;
    std::string output;
    int rc;
    try {
        rc = sign_run({"verify", "-ignore-cdp", "-in", file.string()}, "", &output);
    } catch (const std::exception &e) {
        r.why = e.what();
        return r;
    }
    // The digest stored in the signature and the one of the file as it is;
    // the second line marks a mismatch after the value.
    std::string stored = sign_field(output, "Current message digest");
    std::string now = sign_field(output, "Calculated message digest");
    now = now.substr(0, now.find_first_of(" \t"));
    if (stored.empty() || now.empty()) {
        r.why = "osslsigncode read no signature: " + output.substr(0, output.find('\n'));
        return r;
    }
    r.checked = true;
    r.digest_ok = stored == now;
    r.subject = sign_field(output, "Subject");
    r.trusted = r.digest_ok && rc == 0;
    if (r.digest_ok && !r.trusted) {
        r.why = sign_field(output, "Error");
        if (r.why.empty())
            r.why = "osslsigncode verify exited " + std::to_string(rc);
    }
    return r;
}
