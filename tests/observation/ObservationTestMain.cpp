#include <QCoreApplication>

#include <gtest/gtest.h>

#if defined(__SANITIZE_THREAD__)
// Qt hands things between threads inside libQt6Core (its own mutexes, atomics and wait
// conditions), which the distribution does not build for ThreadSanitizer. Two such hand-overs
// meet these tests: a connection list that QObject::connect() allocates on one thread is freed
// by an emission's clean-up on another, and destroying a finished QThread frees memory that the
// thread allocated. Only Qt's calls into the C library are left unchecked; everything the
// library and the tests do is checked, the library's own locks around delivery and removal
// included.
extern "C" [[gnu::visibility("default")]] const char *__tsan_default_suppressions()
{
    return "called_from_lib:libQt6Core.so.6\n";
}
#endif

// The main queue, the timers and the deferred blocks deliver through the application's event
// loop, which the tests run on this thread.
int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
