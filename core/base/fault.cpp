#include "base/fault.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

namespace zelk {

void fault(std::string message, std::source_location where) {
    char name[64] = "<unnamed>";
    pthread_getname_np(pthread_self(), name, sizeof name);
    const long tid = syscall(SYS_gettid);
    std::fprintf(stderr,
                 "thread '%s' (%ld) faulted at %s:%u:%u:\n%s\n"
                 "note: run the process under gdb with `catch throw` for a backtrace\n",
                 name, tid, where.file_name(), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), message.c_str());
    std::fflush(stderr);
    throw Fault(std::move(message));
}

}  // namespace zelk
