// Linked into the test programs that start child processes. Only ThreadSanitizer builds do
// anything here.
//
// Qt starts a child with clone(CLONE_VM | CLONE_VFORK | CLONE_PIDFD) when the kernel offers
// pidfds. ThreadSanitizer's clone() interceptor takes every clone for a fork and resets its own
// state in the child, which here shares the parent's memory, so the parent loses track of its
// threads and locks (false reports, then "starting new threads after multi-threaded fork").
// Qt decides whether the kernel offers pidfds with waitid(P_PIDFD, ...); refusing that call as an
// old kernel would makes it start children with a real fork(), which the sanitizer follows.
// Child processes inherit the filter.
//
// On that path Qt learns of a child's end in a SIGCHLD handler, on whatever thread the signal
// arrives, and writes to a pipe that another thread made, synchronised in Qt's own code, which
// the sanitizer does not see. So the calls that Qt makes into the C library are not checked;
// everything the library and the tests do is.
//
// The same holds for Qt Network, whose QNetworkAccessManager hands requests and replies between
// the caller's thread and a thread of its own, and for GLib, whose event dispatchers wake each
// other through eventfds that Qt makes and closes on its threads: memory freed and descriptors
// closed there would otherwise be reported against the test's own thread. Qt Network's TLS
// backend is OpenSSL: a peer certificate that its thread decodes (memory libcrypto allocates
// there) and a request's thread reads afterwards (libcrypto copying it out, for a digest) is
// handed over inside Qt as well.
//
// A connection to a functor keeps the functor in a slot object that Qt reference-counts inside
// libQt6Core: the last thread to let go of it deletes it, through the slot object's code in
// Qt's header (inlined into the caller), after an atomic hand-over that the sanitizer does not
// see. A request's reply emits on Qt Network's thread as well as on the request's, so the
// deletion of its "finished" functor may come from there.

#if defined(__SANITIZE_THREAD__)

#include <cerrno>
#include <cstddef>
#include <cstdio>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

extern "C" [[gnu::visibility("default")]] const char *__tsan_default_suppressions()
{
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Network.so.6\n"
           "called_from_lib:libglib-2.0.so.0\n"
           // The desktop keyring's GDBus thread, as tests/keychain/keychain-tsan.supp explains.
           "called_from_lib:libgio-2.0.so.0\n"
           "called_from_lib:libgobject-2.0.so.0\n"
           "called_from_lib:libsecret-1.so.0\n"
           "called_from_lib:libcrypto.so.3\n"
           "race:QtCore/qobjectdefs_impl.h\n";
}

namespace {

[[gnu::constructor]] void refuseWaitingOnPidfds()
{
    sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_waitid, 0, 3),
            // The id type is waitid()'s first argument, in the low word.
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, P_PIDFD, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program {static_cast<unsigned short>(sizeof filter / sizeof *filter), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0
        || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        std::perror("cannot make Qt fork its child processes for ThreadSanitizer");
}

} // namespace

#endif
