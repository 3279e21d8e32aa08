// The worker threads that every kernel library of the process shares: a
// launch's blocks go to the calling thread and to helpers that stay between
// launches, so that a launch costs a wake-up rather than a thread's start and
// join.
//
// __hd_pool_run(work, ctx, helpers) runs work(ctx) on the calling thread and
// offers it to up to `helpers` pool threads. A helper joins only while the
// caller's own work(ctx) runs: once that returns, every block has been handed
// out, the offer closes, and the caller waits only for the helpers that joined
// (each finishing the blocks it took). A helper that wakes late, or never (a
// loaded machine), costs the caller nothing. work must therefore be safe to
// run on several threads at once and must return at once when nothing is left.
// Launches from several host threads at once share the helpers, oldest offer
// first.
#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

struct Offer {
    void (*work)(void *);
    void *ctx;
    int wanted;       // helpers that may still join
    int running = 0;  // helpers inside work(ctx)
    bool closed = false;
    Offer *next = nullptr;
    std::condition_variable finished;  // the last helper that joined has returned
};

struct Pool {
    std::mutex lock;
    std::condition_variable wake;  // idle helpers wait here for an offer
    Offer *first = nullptr, *last = nullptr;  // open offers, oldest first
    int helpers = 0;                          // threads started

    void unlink(Offer *o) {
        Offer **at = &first;
        Offer *before = nullptr;
        while (*at && *at != o) before = *at, at = &(*at)->next;
        if (!*at) return;
        *at = o->next;
        if (last == o) last = before;
        o->next = nullptr;
    }
};

// Never destroyed: helpers wait on it until the process ends, after static
// destructors have run. A forked child starts a pool of its own (its parent's
// helpers do not exist in it).
Pool *pool = new Pool;

void helper(Pool *p) {
    std::unique_lock<std::mutex> hold(p->lock);
    for (;;) {
        while (!p->first) p->wake.wait(hold);
        Offer *o = p->first;
        if (--o->wanted == 0) p->unlink(o);
        ++o->running;
        hold.unlock();
        o->work(o->ctx);
        hold.lock();
        if (--o->running == 0 && o->closed) o->finished.notify_one();
    }
}

void before_fork() { pool->lock.lock(); }
void after_fork_parent() { pool->lock.unlock(); }
void after_fork_child() { pool = new Pool; }  // the old one stays locked, unused

std::once_flag registered;

}  // namespace

extern "C" void __hd_pool_run(void (*work)(void *), void *ctx, int helpers) {
    if (helpers < 1) {
        work(ctx);
        return;
    }
    std::call_once(registered, [] { pthread_atfork(before_fork, after_fork_parent, after_fork_child); });
    Pool *p = pool;
    Offer offer{work, ctx, helpers};
    {
        std::lock_guard<std::mutex> hold(p->lock);
        try {
            for (; p->helpers < helpers; ++p->helpers) std::thread(helper, p).detach();
        } catch (const std::system_error &) {
            // No more threads to be had: the helpers there are take the offer.
        }
        if (p->last)
            p->last->next = &offer;
        else
            p->first = &offer;
        p->last = &offer;
    }
    for (int i = 0; i < helpers; ++i) p->wake.notify_one();
    work(ctx);
    std::unique_lock<std::mutex> hold(p->lock);
    p->unlink(&offer);
    offer.closed = true;
    while (offer.running) offer.finished.wait(hold);
}
