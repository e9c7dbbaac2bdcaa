// Stands in for an office program in the edit tests: opens the file it is given
// and keeps it open, writes a LibreOffice-style lock file beside it, then waits
// for one line on the pipe named by STANDIN_FIFO: "change:<bytes>" replaces the
// content, "keep" leaves it alone. Then it removes its lock and exits.
// With STANDIN_MODE=fork it behaves like a desktop editor reached through a
// launcher: the started process ends at once, and a child that holds nothing
// saves later (to a temporary name, renamed over the file) when told to.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

std::string readCommand(const char *fifo)
{
    std::string command;
    if (FILE *pipe = std::fopen(fifo, "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
            command.append(buf, n);
        std::fclose(pipe);
    }
    return command;
}

int forkedSave(const std::string &path, const char *fifo)
{
    const pid_t child = ::fork();
    if (child < 0)
        return 5;
    if (child > 0)
        return 0;  // the launcher's part is over
    ::setsid();
    const std::string command = readCommand(fifo);
    if (command.rfind("change:", 0) != 0)
        ::_exit(0);
    const std::string content = command.substr(7);
    const std::string temp = path + ".standin-save";
    FILE *out = std::fopen(temp.c_str(), "wb");
    if (!out)
        ::_exit(6);
    const bool written = std::fwrite(content.data(), 1, content.size(), out) == content.size();
    std::fclose(out);
    ::_exit(written && std::rename(temp.c_str(), path.c_str()) == 0 ? 0 : 7);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const std::string path = argv[argc - 1];
    const char *fifo = std::getenv("STANDIN_FIFO");
    if (!fifo)
        return 2;
    const char *mode = std::getenv("STANDIN_MODE");
    if (mode && std::strcmp(mode, "fork") == 0)
        return forkedSave(path, fifo);
    const int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0)
        return 3;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string lock = dir + "/.~lock." + name + "#";
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    if (FILE *l = std::fopen(lock.c_str(), "w")) {
        std::fprintf(l, ",stand-in,%s,10.12.2026 09:30,file:///nowhere;", host);
        std::fclose(l);
    }
    const std::string command = readCommand(fifo);
    if (command.rfind("change:", 0) == 0) {
        const std::string content = command.substr(7);
        if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, content.data(), content.size(), 0) != ssize_t(content.size()))
            return 4;
    }
    ::close(fd);
    ::unlink(lock.c_str());
    return 0;
}
