// Runs the kernel named by __HD_KERNEL on the CPU: every thread of every
// block in turn, blocks shared out among worker threads.  Each argument is
// read as the kernel declares it, from the start of the bytes given for it,
// as the CUDA driver does.
namespace __hd {

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
    if (blocks < 2 || blocks * threads < 16384) workers = 1;
    const unsigned long long chunk =
        blocks / (16ull * workers) > 0 ? blocks / (16ull * workers) : 1;
    std::atomic<unsigned long long> next(0);
    auto work = [&]() {
        // CuPy compiles kernels with -ftz=true: denormals flush to zero.
        const unsigned csr = _mm_getcsr();
        _mm_setcsr(csr | 0x8040);
        gridDim = dim3(grid[0], grid[1], grid[2]);
        blockDim = dim3(block[0], block[1], block[2]);
        for (;;) {
            const unsigned long long first = next.fetch_add(chunk);
            if (first >= blocks) break;
            const unsigned long long last =
                first + chunk < blocks ? first + chunk : blocks;
            for (unsigned long long b = first; b < last; ++b) {
                blockIdx.x = (unsigned)(b % gx);
                blockIdx.y = (unsigned)((b / gx) % gy);
                blockIdx.z = (unsigned)(b / (gx * gy));
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
    std::vector<std::thread> pool;
    for (int w = 1; w < workers; ++w) pool.emplace_back(work);
    work();
    for (auto &t : pool) t.join();
}

}  // namespace __hd

extern "C" int __hd_param_count() { return __hd::param_count(&__HD_KERNEL); }

extern "C" void __hd_param_sizes(long long *out) {
    __hd::param_sizes(&__HD_KERNEL, out);
}

extern "C" void __hd_launch(const unsigned *grid, const unsigned *block,
                            void **args, int workers) {
    __hd::run<&__HD_KERNEL>(
        &__HD_KERNEL,
        std::make_index_sequence<__hd::param_count(&__HD_KERNEL)>(),
        grid, block, args, workers);
}
