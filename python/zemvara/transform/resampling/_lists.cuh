// Batches of images of different sizes in one launch: the table that maps a
// launch's blocks onto its images.
//
// A list launch has one row of 64-bit values per image (or per weight
// table) in a device table; its first value is the image's first block along
// grid x, rows in block order, so the blocks of row i run from row i's first
// block to row i + 1's. Pointers travel in the table as integers. Each entry
// then calls the per-value function of its single-image kernel, so a list
// result equals the single call's, value for value.
#ifndef ZEMVARA_BATCHED_CUH
#define ZEMVARA_BATCHED_CUH

namespace zemvara {

// The row of a `columns`-wide table of `rows` rows whose blocks hold `block`.
__device__ __forceinline__ const long long *list_row(const long long *table, int columns, int rows,
                                                      long long block) {
    int lo = 0, hi = rows - 1;
    while (lo < hi) {
        const int mid = (lo + hi + 1) / 2;
        if (table[(long long)mid * columns] <= block) lo = mid;
        else hi = mid - 1;
    }
    return table + (long long)lo * columns;
}

}  // namespace zemvara

#endif
