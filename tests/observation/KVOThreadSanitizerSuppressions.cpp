// Linked into the key-value observation tests. Only ThreadSanitizer builds do anything here.
//
// Connecting to a NOTIFY signal on one thread while the signal is emitted on another is safe in
// Qt: the sender's connection lists are guarded by Qt's own mutexes and handed over through
// atomics inside libQt6Core, which the distribution does not build for the sanitizer. The
// sanitizer therefore sees a connection list that QObject::connect() allocates on one thread
// freed by the emission's clean-up on another, with no synchronisation between them. The calls
// that Qt makes into the allocator are not checked; everything the library and the tests do
// is, including the library's own locks around delivery and removal.

#if defined(__SANITIZE_THREAD__)

extern "C" [[gnu::visibility("default")]] const char *__tsan_default_suppressions()
{
    return "called_from_lib:libQt6Core.so.6\n";
}

#endif
