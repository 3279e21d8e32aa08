// Runs the kernel named by __HD_KERNEL on the CPU: every thread of every
// block in turn, blocks shared out among worker threads.  Each argument is
// read as the kernel declares it, from the start of the bytes given for it,
// as the CUDA driver does.  A kernel with barriers (__HD_BARRIERS, defined
// when its source calls __syncthreads) runs each block's threads as fibers.
// The workers beyond the calling thread are the process's pool (_pool.cpp),
// shared by every kernel library and handed to this one by __hd_use_pool.
namespace __hd {

// __hd_pool_run of the pool library: work(ctx) on the calling thread and on
// up to `helpers` pool threads that join while it runs.
typedef void (*pool_run_fn)(void (*work)(void *), void *ctx, int helpers);
static pool_run_fn pool_run = nullptr;

#ifdef __HD_BARRIERS
#if !defined(__x86_64__)
#error "the host device runs kernels with barriers on x86-64 only"
#endif
// ---- fibers: one small stack per thread of a block -------------------------
// A switch saves the callee-saved registers on the running stack and resumes
// the other one: a few instructions (ucontext's swapcontext makes a system
// call per switch).  The floating-point control words are not switched: every
// fiber of a worker runs with the worker's (flush-to-zero, as CuPy compiles).
// Under AddressSanitizer each switch is announced to it.
#if defined(__SANITIZE_ADDRESS__)
extern "C" void __sanitizer_start_switch_fiber(void **, const void *, size_t);
extern "C" void __sanitizer_finish_switch_fiber(void *, const void **, size_t *);
extern "C" void __asan_unpoison_memory_region(void const volatile *, size_t);
#endif
extern "C" void __hd_switch(void **save_sp, void *next_sp);
extern "C" void __hd_fiber_start();
asm(R"(
    .text
    .p2align 4
    .globl __hd_switch
    .hidden __hd_switch
    .type __hd_switch, @function
__hd_switch:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size __hd_switch, .-__hd_switch
    .globl __hd_fiber_start
    .hidden __hd_fiber_start
    .type __hd_fiber_start, @function
__hd_fiber_start:
    movq %r12, %rdi
    callq *%r13
    ud2
    .size __hd_fiber_start, .-__hd_fiber_start
)");

// Each fiber's stack is STACK bytes on a multiple of STACK, a guard page at
// its low end and, at its high end, the Block it belongs to: a barrier finds
// its block from the stack pointer, where a thread_local would cost a look-up
// of the library's TLS block at every barrier.
struct Block {
    static const size_t STACK = 64 * 1024;
    static const size_t FOOT = 64;  // the top bytes of a stack: the Block's address
    char *mapping = nullptr, *stacks = nullptr;
    size_t mapped = 0;
    unsigned capacity = 0, threads = 0, current = 0;
    uint3 *thread_index = nullptr;  // the worker's threadIdx, its address taken once
    std::vector<void *> sp;       // each fiber's saved stack pointer
    std::vector<uint3> index;     // each fiber's threadIdx
    std::vector<char> done;
    void *scheduler_sp = nullptr;
    void (*body)(void *) = nullptr;
    void *args = nullptr;
#if defined(__SANITIZE_ADDRESS__)
    const void *scheduler_bottom = nullptr;
    size_t scheduler_size = 0;
#endif

    ~Block() { release(); }

    // The stacks unmapped. Under AddressSanitizer their shadow is cleared
    // first: a fiber that ended never returned through its frames, so their
    // redzones stay poisoned, and memory mapped later at those addresses
    // (device arrays among it) would read as a stack overflow.
    void release() {
        if (!mapping) return;
#if defined(__SANITIZE_ADDRESS__)
        __asan_unpoison_memory_region(mapping, mapped);
#endif
        munmap(mapping, mapped);
        mapping = nullptr;
    }

    static Block *of_stack(uintptr_t sp) {
        return *(Block **)((sp & ~(uintptr_t)(STACK - 1)) + STACK - FOOT);
    }

    void reserve(unsigned n) {
        if (n <= capacity) return;
        release();
        mapped = (size_t)(n + 1) * STACK;
        void *m = mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (m == MAP_FAILED) {
            fprintf(stderr, "host device: no memory for %u thread stacks\n", n);
            abort();
        }
        mapping = (char *)m;
        stacks = (char *)(((uintptr_t)m + STACK - 1) & ~(uintptr_t)(STACK - 1));
        capacity = n;
        for (unsigned i = 0; i < n; ++i) {
            mprotect(stacks + (size_t)i * STACK, 4096, PROT_NONE);
            *(Block **)(stacks + (size_t)(i + 1) * STACK - FOOT) = this;
        }
        sp.resize(n);
        index.resize(n);
        done.resize(n);
    }

    // Saves the running stack in *save and resumes fiber `to` (the scheduler
    // when `to` is the block's size).  `ending`: the running stack is never
    // resumed.
    void switch_to(void **save, unsigned to, bool ending) {
        void *const next = to < threads ? sp[to] : scheduler_sp;
        if (to < threads) {
            *thread_index = index[to];
            current = to;
        }
#if defined(__SANITIZE_ADDRESS__)
        void *fake = nullptr;
        if (to < threads)
            __sanitizer_start_switch_fiber(ending ? nullptr : &fake,
                                           stacks + (size_t)to * STACK, STACK);
        else
            __sanitizer_start_switch_fiber(ending ? nullptr : &fake,
                                           scheduler_bottom, scheduler_size);
        __hd_switch(save, next);
        __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#else
        (void)ending;
        __hd_switch(save, next);
#endif
    }

    // The running fiber hands over to the next live one, in thread order,
    // wrapping round: when the last live thread of a round reaches a barrier,
    // every live thread has reached it.  Ended threads take no part in
    // barriers, as on a GPU.
    void pass_on(bool ending) {
        const unsigned self = current;
        unsigned next = self;
        do {
            next = next + 1 == threads ? 0 : next + 1;
        } while (done[next] && next != self);
        if (next == self) {
            if (!ending) return;          // the only live thread: nothing to wait for
            next = threads;               // the last one ends: back to the scheduler
        }
        switch_to(&sp[self], next, ending);
    }

    static void start(void *p) {
        Block *b = (Block *)p;
#if defined(__SANITIZE_ADDRESS__)
        // Thread 0 starts from the scheduler: the stack left is its own.
        const void *bottom;
        size_t size;
        __sanitizer_finish_switch_fiber(nullptr, &bottom, &size);
        if (b->current == 0) b->scheduler_bottom = bottom, b->scheduler_size = size;
#endif
        b->body(b->args);
        b->done[b->current] = 1;
        b->pass_on(true);
        __builtin_unreachable();
    }

    // Runs the current block's n threads as fibers until all have ended.
    void run(unsigned n, const unsigned *block) {
        reserve(n);
        threads = n;
        uint3 at = {0, 0, 0};
        for (unsigned i = 0; i < n; ++i) {
            // Stack tops at staggered offsets: tops a whole number of pages
            // apart would all fall in one cache set and evict each other.
            uint64_t *s = (uint64_t *)(stacks + (size_t)(i + 1) * STACK - FOOT - (i * 320) % 4096);
#if defined(__SANITIZE_ADDRESS__)
            // A thread that ended left its frames' red zones behind.
            __asan_unpoison_memory_region(stacks + (size_t)i * STACK + 4096, STACK - 4096 - FOOT);
#endif
            *--s = (uint64_t)&__hd_fiber_start;   // where the first switch returns
            *--s = 0;                              // rbp
            *--s = 0;                              // rbx
            *--s = (uint64_t)this;                 // r12: start's argument
            *--s = (uint64_t)&Block::start;        // r13: what __hd_fiber_start calls
            *--s = 0;                              // r14
            *--s = 0;                              // r15
            sp[i] = s;
            done[i] = 0;
            index[i] = at;
            if (++at.x == block[0]) {
                at.x = 0;
                if (++at.y == block[1]) at.y = 0, ++at.z;
            }
        }
        switch_to(&scheduler_sp, 0, false);
    }
};

void barrier() {
    uintptr_t sp;
    asm volatile("movq %%rsp, %0" : "=r"(sp));
    Block::of_stack(sp)->pass_on(false);
}

template <auto K, class Tuple, size_t... I>
void call_kernel(void *values) {
    K(std::get<I>(*(Tuple *)values)...);
}
#endif  // __HD_BARRIERS

template <class... P>
constexpr int param_count(void (*)(P...)) { return sizeof...(P); }

template <class... P>
void param_sizes(void (*)(P...), long long *out) {
    const long long sizes[] = {(long long)sizeof(P)..., 0};
    for (int i = 0; i < (int)sizeof...(P); ++i) out[i] = sizes[i];
}

template <auto K, class... P, size_t... I>
void run(void (*)(P...), std::index_sequence<I...>, const unsigned *grid,
         const unsigned *block, void **args, int workers) {
    std::tuple<P...> values;
    (void)std::initializer_list<int>{
        (memcpy(&std::get<I>(values), args[I], sizeof(P)), 0)...};
    const unsigned long long gx = grid[0], gy = grid[1];
    const unsigned long long blocks = gx * gy * grid[2];
    const unsigned long long threads = (unsigned long long)block[0] * block[1] * block[2];
    // Offering blocks to the pool costs a few microseconds (a wake-up, two
    // locks): below a few thousand threads a launch's work rarely pays that.
    if (blocks < 2 || blocks * threads < 4096 || pool_run == nullptr) workers = 1;
    const unsigned long long chunk =
        blocks / (16ull * workers) > 0 ? blocks / (16ull * workers) : 1;
    std::atomic<unsigned long long> next(0);
    auto work = [&]() {
        // CuPy compiles kernels with -ftz=true: denormals flush to zero.
        const unsigned csr = _mm_getcsr();
        _mm_setcsr(csr | 0x8040);
        gridDim = dim3(grid[0], grid[1], grid[2]);
        blockDim = dim3(block[0], block[1], block[2]);
#ifdef __HD_BARRIERS
        // Kept for the worker's later launches: stacks mapped afresh would
        // cost a page fault each at every launch.
        static thread_local Block fibers;
        fibers.body = &call_kernel<K, std::tuple<P...>, I...>;
        fibers.args = &values;
        fibers.thread_index = &threadIdx;
#endif
        for (;;) {
            const unsigned long long first = next.fetch_add(chunk);
            if (first >= blocks) break;
            const unsigned long long last =
                first + chunk < blocks ? first + chunk : blocks;
            for (unsigned long long b = first; b < last; ++b) {
                blockIdx.x = (unsigned)(b % gx);
                blockIdx.y = (unsigned)((b / gx) % gy);
                blockIdx.z = (unsigned)(b / (gx * gy));
#ifdef __HD_BARRIERS
                fibers.run((unsigned)threads, block);
                continue;
#endif
                for (unsigned z = 0; z < block[2]; ++z)
                    for (unsigned y = 0; y < block[1]; ++y)
                        for (unsigned x = 0; x < block[0]; ++x) {
                            threadIdx.x = x;
                            threadIdx.y = y;
                            threadIdx.z = z;
                            K(std::get<I>(values)...);
                        }
            }
        }
        _mm_setcsr(csr);
    };
    if (workers == 1) {
        work();
        return;
    }
    pool_run([](void *w) { (*(decltype(work) *)w)(); }, &work, workers - 1);
}

}  // namespace __hd

extern "C" int __hd_param_count() { return __hd::param_count(&__HD_KERNEL); }

extern "C" void __hd_param_sizes(long long *out) {
    __hd::param_sizes(&__HD_KERNEL, out);
}

extern "C" void __hd_use_pool(void *run) { __hd::pool_run = (__hd::pool_run_fn)run; }

extern "C" void __hd_launch(const unsigned *grid, const unsigned *block,
                            void **args, int workers) {
    __hd::run<&__HD_KERNEL>(
        &__HD_KERNEL,
        std::make_index_sequence<__hd::param_count(&__HD_KERNEL)>(),
        grid, block, args, workers);
}
