// Stands in for an office program in the edit tests: opens the file it is given
// and keeps it open, writes a LibreOffice-style lock file beside it, then waits
// for one line on the pipe named by STANDIN_FIFO: "change:<bytes>" replaces the
// content, "keep" leaves it alone. Then it removes its lock and exits.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const std::string path = argv[argc - 1];
    const char *fifo = std::getenv("STANDIN_FIFO");
    if (!fifo)
        return 2;
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
    std::string command;
    if (FILE *pipe = std::fopen(fifo, "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
            command.append(buf, n);
        std::fclose(pipe);
    }
    if (command.rfind("change:", 0) == 0) {
        const std::string content = command.substr(7);
        if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, content.data(), content.size(), 0) != ssize_t(content.size()))
            return 4;
    }
    ::close(fd);
    ::unlink(lock.c_str());
    return 0;
}
