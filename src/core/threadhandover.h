#pragma once
// Qt is not built for ThreadSanitizer: the locks inside its thread pool, futures
// and QThread::wait order our threads' work, but the sanitizer cannot see them.
// Marking each hand-over lets it check our code without excusing Qt's headers.
// Outside a ThreadSanitizer build this is empty and costs nothing.
#include <memory>

#if defined(__SANITIZE_THREAD__)
#define ZUDIVUVO_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZUDIVUVO_TSAN 1
#endif
#endif

#ifdef ZUDIVUVO_TSAN
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);

// Copies share one token: release on the giving thread, acquire on the taking one.
// An object handed over whole can be its own token (Release/Acquire with its address).
class ThreadHandOver
{
public:
    void release() const { __tsan_release(m_token.get()); }
    void acquire() const { __tsan_acquire(m_token.get()); }
    static void Release(const void *object) { __tsan_release(const_cast<void *>(object)); }
    static void Acquire(const void *object) { __tsan_acquire(const_cast<void *>(object)); }

private:
    std::shared_ptr<char> m_token = std::make_shared<char>();
};
#else
class ThreadHandOver
{
public:
    void release() const {}
    void acquire() const {}
    static void Release(const void *) {}
    static void Acquire(const void *) {}
};
#endif
