// The reachability tests' main. With "--in-network-namespace" first, the process moves into a
// network namespace (and a mount namespace) of its own before anything else runs (while it has a
// single thread of its own, so that every thread made later is in it too) and runs the tests it is
// given, which then change that namespace's links, routes and mounts freely. Without it, the tests
// that need such a namespace are left out: they run only through the tests that start this program
// that way.

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <sched.h>

int main(int argc, char **argv)
{
    const bool inNamespace = argc > 1 && std::strcmp(argv[1], "--in-network-namespace") == 0;
    if (inNamespace) {
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
            std::fprintf(stderr,
                         "cannot make the namespaces (unshare(CLONE_NEWNET | CLONE_NEWNS): %s); "
                         "the reachability tests need root (CAP_SYS_ADMIN)\n",
                         std::strerror(errno));
            return 3;
        }
        argv[1] = argv[0];
        ++argv;
        --argc;
    }
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    if (!inNamespace) {
        std::string filter = GTEST_FLAG_GET(filter);
        filter += filter.find('-') == std::string::npos ? "-" : ":";
        GTEST_FLAG_SET(filter, filter + "ReachabilityInNamespace.*");
    }
    return RUN_ALL_TESTS();
}
