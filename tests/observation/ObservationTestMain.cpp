#include <QCoreApplication>

#include <gtest/gtest.h>

#if defined(__SANITIZE_THREAD__)
// A QThread's end is handed to the thread that waits for it inside libQt6Core (QWaitCondition),
// which ThreadSanitizer cannot see: destroying the QThread then frees, from Qt's own code, memory
// that the finished thread allocated. Only Qt's calls into the C library are left unchecked;
// everything the library and the tests do is checked.
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
