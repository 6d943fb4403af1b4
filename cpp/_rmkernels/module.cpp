/// velquor._rmkernels: bindings of the risk-model kernels. Arrays come in as row-major numpy buffers (no
/// copy), results go out as new numpy arrays owning their memory; the GIL is released while they compute.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "_rmkernels/kernels.hpp"

namespace nb = nanobind;
using namespace velquor;

namespace {

template <class T, class... Extra>
using In = nb::ndarray<const T, nb::c_contig, nb::device::cpu, Extra...>;
template <class T>
using Out = nb::ndarray<nb::numpy, T>;

/// Large outputs freed while a build holds the spare blocks open are kept for its later outputs instead of
/// going back to the system: a panel the build no longer reads serves the next one it writes, whose first
/// touches would otherwise each cost the kernel a fresh zeroed page (a tenth of a native date's CPU). Every
/// block carries its capacity in a header before its data. Only touched with the interpreter lock held (outputs
/// are made and dropped by Python objects), so a fork never finds the lock taken.
class SpareBlocks {
public:
    static constexpr size_t kHeader = 16;           // keeps the data 16-byte aligned, like malloc's
    static constexpr size_t kMin = size_t{1} << 20;  // smaller blocks come and go through malloc alone
    static constexpr size_t kMaxHeld = size_t{768} << 20;

    static SpareBlocks& get() {
        static auto* blocks = new SpareBlocks;  // never destroyed: capsules may be freed during interpreter exit
        return *blocks;
    }

    /// Data of `bytes` (uninitialised): the smallest spare block that holds them and is not over twice as
    /// large, or a new block.
    void* allocate(size_t bytes) {
        if (bytes >= kMin) {
            std::lock_guard<std::mutex> guard(lock_);
            size_t best = blocks_.size();
            for (size_t i = 0; i < blocks_.size(); ++i) {
                const size_t cap = capacity(blocks_[i]);
                if (cap >= bytes && cap / 2 <= bytes && (best == blocks_.size() || cap < capacity(blocks_[best])))
                    best = i;
            }
            if (best != blocks_.size()) {
                void* data = blocks_[best];
                held_ -= capacity(data);
                blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(best));
                return data;
            }
        }
        if (bytes > std::numeric_limits<size_t>::max() - kHeader) return nullptr;
        auto* base = static_cast<unsigned char*>(std::malloc(kHeader + bytes));
        if (base == nullptr) return nullptr;
        std::memcpy(base, &bytes, sizeof bytes);
        return base + kHeader;
    }

    /// Frees data of `allocate`, or keeps it while the blocks are open and there is room.
    void release(void* data) noexcept {
        const size_t cap = capacity(data);
        if (cap >= kMin) {
            std::lock_guard<std::mutex> guard(lock_);
            if (users_ > 0 && held_ + cap <= kMaxHeld) {
                try {
                    blocks_.push_back(data);
                    held_ += cap;
                    return;
                } catch (...) {  // no room to remember it: freed below
                }
            }
        }
        std::free(static_cast<unsigned char*>(data) - kHeader);
    }

    /// Opens (on) or closes the keeping of freed blocks; the last close frees every spare block.
    void hold(bool on) {
        std::vector<void*> drop;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (on) {
                ++users_;
                return;
            }
            if (users_ > 0 && --users_ > 0) return;
            drop.swap(blocks_);
            held_ = 0;
        }
        for (void* data : drop) std::free(static_cast<unsigned char*>(data) - kHeader);
    }

    size_t held() {
        std::lock_guard<std::mutex> guard(lock_);
        return held_;
    }

private:
    static size_t capacity(const void* data) noexcept {
        size_t cap;
        std::memcpy(&cap, static_cast<const unsigned char*>(data) - kHeader, sizeof cap);
        return cap;
    }

    std::mutex lock_;
    int users_ = 0;
    size_t held_ = 0;
    std::vector<void*> blocks_;
};

/// A new, uninitialised numpy array of `shape`, owned by a capsule. Plain malloc'd memory in 4 KiB pages (or
/// a spare block, above): on the 2-core machine the estimation is measured on (a virtual machine), a first
/// touch of memory advised for huge pages cost 2 to 6 times the system time of the same bytes in small pages,
/// the 2 MiB ranges it takes being the least likely to be resident on the host, and it varied far more from
/// run to run.
template <class T>
std::pair<Out<T>, T*> make_out(std::initializer_list<size_t> shape) {
    static_assert(alignof(T) <= SpareBlocks::kHeader);
    size_t total = 1;
    for (size_t s : shape) {  // a shape whose size does not fit in memory is refused, never wrapped around
        if (s != 0 && total > static_cast<size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T) / s)
            throw std::bad_alloc();
        total *= s;
    }
    void* mem = SpareBlocks::get().allocate(std::max<size_t>(total, 1) * sizeof(T));
    if (mem == nullptr) throw std::bad_alloc();
    auto release = [](void* p) noexcept { SpareBlocks::get().release(p); };
    std::unique_ptr<void, decltype(release)> buf(mem, release);
    nb::capsule owner(mem, release);
    buf.release();
    T* data = static_cast<T*>(mem);
    return {Out<T>(data, shape.size(), shape.begin(), owner), data};
}

std::ptrdiff_t dim(const auto& a, size_t i) { return static_cast<std::ptrdiff_t>(a.shape(i)); }

/// One new (rows x cols) float64 panel per array of `values`: the arrays' data, the panels' data and the
/// panels as a Python list.
struct Panels {
    std::vector<const double*> in;
    std::vector<double*> dst;
    nb::list out;
};
Panels panels_for(const std::vector<In<double, nb::ndim<1>>>& values, size_t rows, size_t cols) {
    Panels p;
    for (const auto& v : values) {
        auto [arr, data] = make_out<double>({rows, cols});
        p.in.push_back(v.data());
        p.dst.push_back(data);
        p.out.append(arr);
    }
    return p;
}

/// `count` new (rows x cols) float64 panels: their data and the panels as a Python list (to fill with NaN by
/// fill_nan, without the interpreter lock).
Panels new_panels(size_t rows, size_t cols, size_t count) {
    Panels p;
    for (size_t f = 0; f < count; ++f) {
        auto [arr, data] = make_out<double>({rows, cols});
        p.dst.push_back(data);
        p.out.append(arr);
    }
    return p;
}

void fill_nan(const std::vector<double*>& dst, size_t size) {
    for (double* p : dst) std::fill(p, p + size, std::numeric_limits<double>::quiet_NaN());
}

/// Checked once per record in the loops below: a plain string literal, no std::string built per call.
void require(bool ok, const char* what) {
    if (!ok) throw nb::value_error(what);
}

int threads_of(int threads) { return threads < 1 ? 1 : threads; }

/// A range of bytes, compared by address.
struct Span {
    const void* p;
    size_t bytes;
    bool apart(const Span& o) const noexcept {
        const auto a = reinterpret_cast<std::uintptr_t>(p), b = reinterpret_cast<std::uintptr_t>(o.p);
        return bytes == 0 || o.bytes == 0 || a + bytes <= b || b + o.bytes <= a;
    }
};

/// The output position of every style, checked to be a permutation of the styles.
void set_slots(rmk::StyleIn& in, const std::vector<int>& slot) {
    require(slot.size() == rmk::kStyleCount, "one output position per style expected");
    std::vector<bool> taken(slot.size(), false);
    for (size_t k = 0; k < slot.size(); ++k) {
        require(slot[k] >= 0 && static_cast<size_t>(slot[k]) < slot.size() && !taken[static_cast<size_t>(slot[k])],
                "output positions must be a permutation");
        taken[static_cast<size_t>(slot[k])] = true;
        in.slot[k] = slot[k];
    }
}

}  // namespace

NB_MODULE(_rmkernels, m) {
    m.doc() = "Native kernels of the risk-model estimation (velquor.riskmodel); the numpy code there is the reference.";
    m.attr("KERNELS_VERSION") = 5;
    m.attr("BLOCK") = rmk::kBlock;

    m.def("windowed_sum",
          [](In<double, nb::ndim<2>> x, double lam, bool unit, std::ptrdiff_t window, std::ptrdiff_t origin,
             int threads) {
              require(window >= 1, "window must be at least 1");
              require(origin >= 0, "origin must not be negative");
              const std::ptrdiff_t rows = dim(x, 0), cols = dim(x, 1);
              auto [out, data] = make_out<double>({x.shape(0), x.shape(1)});
              {
                  nb::gil_scoped_release release;
                  rmk::windowed_sum(x.data(), rows, cols, lam, unit, window, origin, data, threads_of(threads));
              }
              return out;
          },
          nb::arg("x"), nb::arg("lam"), nb::arg("unit"), nb::arg("window"), nb::arg("origin"), nb::arg("threads") = 2,
          "Windowed (EWMA) sums of every column of a 2-D array; see velquor.riskmodel.kernels.windowed_sum.");

    m.def("market_return",
          [](In<double, nb::ndim<2>> ret_clean, In<double, nb::ndim<2>> cap) {
              require(ret_clean.shape(0) == cap.shape(0) && ret_clean.shape(1) == cap.shape(1),
                      "returns and caps differ in shape");
              auto [out, data] = make_out<double>({ret_clean.shape(0)});
              {
                  nb::gil_scoped_release release;
                  rmk::market_return(ret_clean.data(), cap.data(), dim(cap, 0), dim(cap, 1), data);
              }
              return out;
          },
          nb::arg("ret_clean"), nb::arg("cap"));

    m.def("descriptors",
          [](In<double, nb::ndim<2>> ret, In<double, nb::ndim<2>> clean, In<double, nb::ndim<2>> turnover,
             In<double, nb::ndim<1>> mkt, std::ptrdiff_t r0, std::ptrdiff_t origin, double beta_lam,
             std::ptrdiff_t beta_window, std::ptrdiff_t beta_min_obs, std::ptrdiff_t mom_window,
             std::ptrdiff_t mom_lag, std::ptrdiff_t mom_min_obs, int threads) {
              const std::ptrdiff_t rows = dim(ret, 0), cols = dim(ret, 1);
              require(dim(clean, 0) == rows && dim(clean, 1) == cols && dim(turnover, 0) == rows &&
                          dim(turnover, 1) == cols && dim(mkt, 0) == rows,
                      "descriptor inputs differ in shape");
              require(r0 >= 0 && r0 <= rows && origin >= 0, "bad first row or origin");
              require(beta_window >= 1 && mom_window >= 1 && mom_lag >= 0, "bad descriptor windows");
              const size_t out_rows = static_cast<size_t>(rows - r0), n = static_cast<size_t>(cols);
              const auto k = static_cast<size_t>(rmk::kDescriptors);
              auto [out, data] = make_out<double>({out_rows, k, n});
              {
                  nb::gil_scoped_release release;
                  rmk::descriptors(ret.data(), clean.data(), turnover.data(), mkt.data(), rows, cols, r0, origin,
                                   {beta_lam, beta_window, beta_min_obs, mom_window, mom_lag, mom_min_obs},
                                   {data, data + n, data + 2 * n, data + 3 * n, data + 4 * n,
                                    static_cast<std::ptrdiff_t>(k * n)},
                                   threads_of(threads));
              }
              return out;
          },
          nb::arg("ret"), nb::arg("clean"), nb::arg("turnover"), nb::arg("mkt"), nb::arg("r0"), nb::arg("origin"),
          nb::arg("beta_lam"), nb::arg("beta_window"), nb::arg("beta_min_obs"), nb::arg("mom_window"),
          nb::arg("mom_lag"), nb::arg("mom_min_obs"), nb::arg("threads") = 2);

    m.def("row_median",
          [](In<double, nb::ndim<2>> x, int threads) {
              auto [out, data] = make_out<double>({x.shape(0)});
              {
                  nb::gil_scoped_release release;
                  rmk::row_median(x.data(), dim(x, 0), dim(x, 1), data, threads_of(threads));
              }
              return out;
          },
          nb::arg("x"), nb::arg("threads") = 2);

    m.def("standardise",
          [](In<double, nb::ndim<2>> x, In<double, nb::ndim<2>> cap, double mads, int threads) {
              require(x.shape(0) == cap.shape(0) && x.shape(1) == cap.shape(1), "values and caps differ in shape");
              auto [out, data] = make_out<double>({x.shape(0), x.shape(1)});
              {
                  nb::gil_scoped_release release;
                  rmk::standardise(x.data(), cap.data(), dim(x, 0), dim(x, 1), mads, data, threads_of(threads));
              }
              return out;
          },
          nb::arg("x"), nb::arg("cap"), nb::arg("mads"), nb::arg("threads") = 2);

    m.def("orthogonalise",
          [](In<double, nb::ndim<2>> y, std::vector<In<double, nb::ndim<2>>> xs, In<double, nb::ndim<2>> cap,
             int threads) {
              std::vector<const double*> ptrs;
              for (const auto& x : xs) {
                  require(x.shape(0) == y.shape(0) && x.shape(1) == y.shape(1), "regressors differ in shape");
                  ptrs.push_back(x.data());
              }
              require(cap.shape(0) == y.shape(0) && cap.shape(1) == y.shape(1), "caps differ in shape");
              require(xs.size() <= rmk::kMaxRegressors, "at most 8 regressors");
              auto [out, data] = make_out<double>({y.shape(0), y.shape(1)});
              {
                  nb::gil_scoped_release release;
                  rmk::orthogonalise(y.data(), ptrs.data(), static_cast<int>(ptrs.size()), cap.data(), dim(y, 0),
                                     dim(y, 1), data, threads_of(threads));
              }
              return out;
          },
          nb::arg("y"), nb::arg("xs"), nb::arg("cap"), nb::arg("threads") = 2);

    m.def("fill_industry",
          [](In<double, nb::ndim<2>> x, In<double, nb::ndim<2>> cap, In<std::int16_t, nb::ndim<2>> industry,
             int n_ind, nb::ndarray<float, nb::ndim<3>, nb::c_contig, nb::device::cpu> out, size_t k, int threads) {
              require(x.shape(0) == cap.shape(0) && x.shape(1) == cap.shape(1) && industry.shape(0) == x.shape(0) &&
                          industry.shape(1) == x.shape(1),
                      "values, caps and industries differ in shape");
              require(out.shape(0) == x.shape(0) && out.shape(1) == x.shape(1) && k < out.shape(2),
                      "output does not fit");
              require(n_ind >= 0, "negative industry count");
              const std::ptrdiff_t stride = dim(out, 2);
              float* dst = out.data() + k;
              {
                  nb::gil_scoped_release release;
                  rmk::fill_industry(x.data(), cap.data(), industry.data(), dim(x, 0), dim(x, 1), n_ind, dst, stride,
                                     threads_of(threads));
              }
          },
          nb::arg("x"), nb::arg("cap"), nb::arg("industry"), nb::arg("n_ind"), nb::arg("out"), nb::arg("k"),
          nb::arg("threads") = 2, "Fills style k of out (days, stocks, styles) float32 in place.");

    m.def("styles",
          [](std::vector<In<double, nb::ndim<2>>> descriptors, In<double, nb::ndim<2>> cap,
             In<std::int16_t, nb::ndim<2>> industry, int n_ind, double mads, std::vector<int> slot, int threads) {
              // descriptors: beta, hsigma, dastd, mom, liq, book, earnings, debt, growth
              require(descriptors.size() == 9, "nine descriptor arrays expected");
              const size_t rows = cap.shape(0), cols = cap.shape(1);
              for (const auto& d : descriptors)
                  require(d.shape(0) == rows && d.shape(1) == cols, "descriptors and caps differ in shape");
              require(industry.shape(0) == rows && industry.shape(1) == cols, "industries and caps differ in shape");
              require(n_ind >= 0, "negative industry count");
              const size_t n_styles = rmk::kStyleCount;
              rmk::StyleIn in{descriptors[0].data(), descriptors[1].data(), descriptors[2].data(),
                              descriptors[3].data(), descriptors[4].data(), descriptors[5].data(),
                              descriptors[6].data(), descriptors[7].data(), descriptors[8].data(), cap.data(),
                              industry.data(), static_cast<std::ptrdiff_t>(rows), static_cast<std::ptrdiff_t>(cols),
                              static_cast<std::ptrdiff_t>(cols), n_ind, static_cast<std::ptrdiff_t>(n_styles), {}};
              set_slots(in, slot);
              auto [out, data] = make_out<float>({rows, cols, n_styles});
              {
                  nb::gil_scoped_release release;
                  rmk::styles(in, mads, data, threads_of(threads));
              }
              return out;
          },
          nb::arg("descriptors"), nb::arg("cap"), nb::arg("industry"), nb::arg("n_ind"), nb::arg("mads"),
          nb::arg("slot"), nb::arg("threads") = 2,
          "Every standardised, orthogonalised and industry-filled style of every row, (rows, stocks, styles) "
          "float32.");

    m.def("styles_over",
          [](nb::ndarray<double, nb::ndim<3>, nb::c_contig, nb::device::cpu> descriptors,
             std::vector<In<double, nb::ndim<2>>> fundamentals, In<double, nb::ndim<2>> cap,
             In<std::int16_t, nb::ndim<2>> industry, int n_ind, double mads, std::vector<int> slot, int threads) {
              // descriptors: (rows, 5, cols) as `descriptors` returns them; fundamentals: book, earnings, debt, growth
              const size_t rows = cap.shape(0), cols = cap.shape(1);
              require(descriptors.shape(0) == rows && descriptors.shape(1) == rmk::kDescriptors &&
                          descriptors.shape(2) == cols,
                      "descriptors and caps differ in shape");
              require(fundamentals.size() == 4, "four fundamentals arrays expected");
              for (const auto& f : fundamentals)
                  require(f.shape(0) == rows && f.shape(1) == cols, "fundamentals and caps differ in shape");
              require(industry.shape(0) == rows && industry.shape(1) == cols, "industries and caps differ in shape");
              require(n_ind >= 0, "negative industry count");
              double* d = descriptors.data();
              const auto n = static_cast<std::ptrdiff_t>(cols);
              // nothing read as a whole may share memory with the descriptors the styles are written over
              const size_t cells = rows * cols;
              const Span over{d, cells * rmk::kDescriptors * sizeof(double)};
              for (const auto& f : fundamentals)
                  require(over.apart({f.data(), cells * sizeof(double)}), "fundamentals overlap the descriptors");
              require(over.apart({cap.data(), cells * sizeof(double)}) &&
                          over.apart({industry.data(), cells * sizeof(std::int16_t)}),
                      "caps or industries overlap the descriptors");
              rmk::StyleIn in{d, d + n, d + 2 * n, d + 3 * n, d + 4 * n, fundamentals[0].data(),
                              fundamentals[1].data(), fundamentals[2].data(), fundamentals[3].data(), cap.data(),
                              industry.data(), static_cast<std::ptrdiff_t>(rows), n, rmk::kDescriptors * n, n_ind,
                              rmk::kStyleCount, {}};
              set_slots(in, slot);
              nb::gil_scoped_release release;
              rmk::styles(in, mads, reinterpret_cast<float*>(d), threads_of(threads));
          },
          nb::arg("descriptors"), nb::arg("fundamentals"), nb::arg("cap"), nb::arg("industry"), nb::arg("n_ind"),
          nb::arg("mads"), nb::arg("slot"), nb::arg("threads") = 2,
          "The styles of `styles` written over the (rows, 5, stocks) float64 descriptors they are made from: "
          "afterwards the buffer holds (rows, stocks, 10) float32 styles.");

    m.def("scatter",
          [](std::vector<In<std::int32_t, nb::ndim<1>>> day, std::vector<In<std::int32_t, nb::ndim<1>>> col,
             In<std::int64_t, nb::ndim<1>> row_of_day, std::vector<std::vector<In<double, nb::ndim<1>>>> values,
             size_t rows, size_t cols) {
              const size_t batches = day.size();
              require(col.size() == batches && values.size() == batches, "days, columns and values differ in batches");
              const size_t fields = batches ? values[0].size() : 0;
              const std::int64_t* map = row_of_day.data();
              const size_t days = row_of_day.shape(0);
              for (size_t i = 0; i < days; ++i)
                  require(map[i] < static_cast<std::int64_t>(rows), "a day maps to a row outside the panel");
              for (size_t b = 0; b < batches; ++b) {
                  const size_t count = day[b].shape(0);
                  require(col[b].shape(0) == count, "days and columns differ in length");
                  require(values[b].size() == fields, "batches differ in their fields");
                  for (const auto& v : values[b]) require(v.shape(0) == count, "values and records differ in length");
                  const std::int32_t* d = day[b].data();
                  const std::int32_t* c = col[b].data();
                  for (size_t i = 0; i < count; ++i) {
                      require(d[i] >= 0 && static_cast<size_t>(d[i]) < days, "record day outside the calendar span");
                      require(c[i] >= 0 && static_cast<size_t>(c[i]) < cols, "record column outside the panel");
                  }
              }
              auto panels = new_panels(rows, cols, fields);
              {
                  nb::gil_scoped_release release;
                  fill_nan(panels.dst, rows * cols);
                  std::vector<const double*> in(fields);
                  for (size_t b = 0; b < batches; ++b) {
                      for (size_t f = 0; f < fields; ++f) in[f] = values[b][f].data();
                      rmk::scatter(day[b].data(), col[b].data(), static_cast<std::ptrdiff_t>(day[b].shape(0)), map,
                                   in.data(), static_cast<int>(fields), static_cast<std::ptrdiff_t>(cols),
                                   panels.dst.data());
                  }
              }
              return panels.out;
          },
          nb::arg("day"), nb::arg("col"), nb::arg("row_of_day"), nb::arg("values"), nb::arg("rows"), nb::arg("cols"),
          "Dense (rows, cols) panels of records given in batches (days, columns and, per batch, one array per "
          "field), NaN where no record lands.");

    m.def("fill_states",
          [](In<std::int64_t, nb::ndim<1>> row, In<std::int64_t, nb::ndim<1>> col,
             std::vector<In<double, nb::ndim<1>>> values, size_t rows, size_t cols) {
              const size_t states = row.shape(0);
              require(col.shape(0) == states, "rows and columns of the states differ in length");
              for (const auto& v : values) require(v.shape(0) == states, "values and states differ in length");
              auto [in, dst, out] = panels_for(values, rows, cols);
              const std::int64_t* r = row.data();
              const std::int64_t* c = col.data();
              for (size_t i = 0; i < states; ++i) {
                  require(r[i] >= 0 && static_cast<size_t>(r[i]) < rows && (i == 0 || r[i] >= r[i - 1]),
                          "state rows must be ascending panel rows");
                  require(c[i] >= 0 && static_cast<size_t>(c[i]) < cols, "state column outside the panel");
              }
              {
                  nb::gil_scoped_release release;
                  rmk::fill_states(r, c, in.data(), static_cast<int>(in.size()), static_cast<std::ptrdiff_t>(states),
                                   static_cast<std::ptrdiff_t>(rows), static_cast<std::ptrdiff_t>(cols), dst.data());
              }
              return out;
          },
          nb::arg("row"), nb::arg("col"), nb::arg("values"), nb::arg("rows"), nb::arg("cols"),
          "Point-in-time (rows, cols) panels of report states in announcement order, one per value array.");

    m.def("specific_series",
          [](In<double, nb::ndim<2>> u, std::ptrdiff_t first, std::ptrdiff_t origin, double lam, std::ptrdiff_t window,
             std::ptrdiff_t lags, double threshold, double min_obs, double floor_share, int threads) {
              require(window >= 1 && lags >= 0, "bad window or lags");
              require(first >= 0 && first <= dim(u, 0) && origin >= 0, "bad first row or origin");
              const size_t rows = u.shape(0), cols = u.shape(1);
              auto var = make_out<double>({rows, cols});
              auto var0 = make_out<double>({rows, cols});
              auto cnt = make_out<double>({rows, cols});
              auto absdev = make_out<double>({rows, cols});
              {
                  nb::gil_scoped_release release;
                  rmk::specific_series(u.data(), dim(u, 0), dim(u, 1), first, origin,
                                       {lam, window, lags, threshold, min_obs, floor_share},
                                       {var.second, var0.second, cnt.second, absdev.second}, threads_of(threads));
              }
              return nb::make_tuple(var.first, var0.first, cnt.first, absdev.first);
          },
          nb::arg("u"), nb::arg("first"), nb::arg("origin"), nb::arg("lam"), nb::arg("window"), nb::arg("lags"),
          nb::arg("threshold"), nb::arg("min_obs"), nb::arg("floor_share"), nb::arg("threads") = 2,
          "Specific variance (Newey-West and plain), observation count and mean absolute specific return of "
          "every day and stock from row `first` on.");

    m.def("specific_regime",
          [](In<double, nb::ndim<2>> u, In<double, nb::ndim<2>> var0, In<double, nb::ndim<2>> cnt,
             In<double, nb::ndim<2>> cap, std::ptrdiff_t r0, std::ptrdiff_t r1, In<int64_t, nb::ndim<1>> at,
             double min_obs) {
              const size_t rows = u.shape(0), cols = u.shape(1);
              auto same = [&](const auto& a) { return a.shape(0) == rows && a.shape(1) == cols; };
              require(same(var0) && same(cnt) && same(cap), "specific returns, variances, counts and caps differ in shape");
              require(r0 >= 1 && r0 <= r1 && r1 <= dim(u, 0), "rows outside the arrays");
              std::vector<std::ptrdiff_t> rows_at(at.shape(0));
              for (size_t d = 0; d < rows_at.size(); ++d) {
                  require(at(d) >= 0 && at(d) < dim(u, 0), "rows outside the arrays");
                  rows_at[d] = static_cast<std::ptrdiff_t>(at(d));
              }
              const size_t days = static_cast<size_t>(r1 - r0);
              auto num = make_out<double>({rows_at.size(), days});
              auto den = make_out<double>({rows_at.size(), days});
              {
                  nb::gil_scoped_release release;
                  rmk::specific_regime(u.data(), var0.data(), cnt.data(), cap.data(), dim(u, 1), r0, r1,
                                       rows_at.data(), static_cast<std::ptrdiff_t>(rows_at.size()), min_obs,
                                       num.second, den.second);
              }
              return nb::make_tuple(num.first, den.first);
          },
          nb::arg("u"), nb::arg("var0"), nb::arg("cnt"), nb::arg("cap"), nb::arg("r0"), nb::arg("r1"), nb::arg("at"),
          nb::arg("min_obs"),
          "Daily cap-weighted sums of realised squared specific returns and of their forecasts, rows r0 .. r1 - 1, "
          "for each as-of row of `at` (one row of the results per as-of row).");

    m.def("regressions",
          [](In<double, nb::ndim<2>> y, In<float, nb::ndim<3>> x, In<std::int16_t, nb::ndim<2>> industry,
             In<double, nb::ndim<2>> cap, In<bool, nb::ndim<2>> est, In<bool, nb::ndim<2>> has,
             In<bool, nb::ndim<1>> active, int n_ind, double regression_mads, double specific_mads, int threads) {
              const size_t days = y.shape(0), n = y.shape(1);
              auto same = [&](const auto& a) { return a.shape(0) == days && a.shape(1) == n; };
              require(same(x) && same(industry) && same(cap) && same(est) && same(has) && active.shape(0) == days,
                      "regression inputs differ in shape");
              require(n_ind >= 1, "no industries");
              const size_t k = 1 + static_cast<size_t>(n_ind) + x.shape(2);
              auto fr = make_out<double>({days, k});
              auto resid = make_out<double>({days, n});
              auto failed = make_out<bool>({days});
              static_assert(sizeof(bool) == sizeof(std::uint8_t));
              rmk::RegressionIn in{y.data(), x.data(), industry.data(), cap.data(),
                                   reinterpret_cast<const std::uint8_t*>(est.data()),
                                   reinterpret_cast<const std::uint8_t*>(has.data()),
                                   reinterpret_cast<const std::uint8_t*>(active.data()),
                                   static_cast<std::ptrdiff_t>(days), static_cast<std::ptrdiff_t>(n),
                                   dim(x, 2), n_ind, regression_mads, specific_mads};
              {
                  nb::gil_scoped_release release;
                  rmk::regressions(in, fr.second, resid.second, reinterpret_cast<std::uint8_t*>(failed.second),
                                   threads_of(threads));
              }
              return nb::make_tuple(fr.first, resid.first, failed.first);
          },
          nb::arg("y"), nb::arg("x"), nb::arg("industry"), nb::arg("cap"), nb::arg("est"), nb::arg("has"),
          nb::arg("active"), nb::arg("n_ind"), nb::arg("regression_mads"), nb::arg("specific_mads"),
          nb::arg("threads") = 2);

    m.def("eigen_bias_sums",
          [](In<double, nb::ndim<1>> vals, In<double, nb::ndim<2>> g_vol, In<double, nb::ndim<3>> g_corr,
             int threads) -> nb::object {
              const size_t n = vals.shape(0), draws = g_corr.shape(0);
              require(g_corr.shape(1) == n && g_corr.shape(2) == n && g_vol.shape(0) == draws && g_vol.shape(1) == n,
                      "eigenvalues and simulated moments differ in shape");
              require(n <= 512, "too many factors");
              for (size_t i = 0; i < n; ++i) require(vals(i) >= 0.0, "eigenvalues must be finite and not negative");
              auto est = make_out<double>({n});
              auto tru = make_out<double>({n});
              bool ok;
              {
                  nb::gil_scoped_release release;
                  ok = rmk::eigen_bias_sums(vals.data(), g_vol.data(), g_corr.data(),
                                            static_cast<std::ptrdiff_t>(draws), static_cast<int>(n), est.second,
                                            tru.second, threads_of(threads));
              }
              if (!ok) return nb::none();
              return nb::make_tuple(est.first, tru.first);
          },
          nb::arg("vals"), nb::arg("g_vol"), nb::arg("g_corr"), nb::arg("threads") = 2,
          "Sums over the simulated draws of every eigenvalue rank's eigenvalue and true variance (None when the "
          "eigenvalues of a draw fail to converge or a sum is not finite).");

    m.def("nw_grams",
          [](In<double, nb::ndim<3>> z, In<double, nb::ndim<1>> w_vol, In<double, nb::ndim<1>> c_vol,
             In<double, nb::ndim<1>> w_corr, In<double, nb::ndim<1>> c_corr, int threads) {
              const size_t draws = z.shape(0), t = z.shape(1), k = z.shape(2);
              require(c_vol.shape(0) >= 1 && c_vol.shape(0) == c_corr.shape(0), "one coefficient per lag and one more");
              require(w_vol.shape(0) <= t && w_corr.shape(0) <= t, "weights longer than the histories");
              require(k <= 512, "too many factors");
              const int lags = static_cast<int>(c_vol.shape(0)) - 1;
              auto g_vol = make_out<double>({draws, k});
              auto g_corr = make_out<double>({draws, k, k});
              {
                  nb::gil_scoped_release release;
                  rmk::nw_grams(z.data(), static_cast<std::ptrdiff_t>(draws), static_cast<std::ptrdiff_t>(t),
                                static_cast<int>(k), {w_vol.data(), dim(w_vol, 0), c_vol.data()},
                                {w_corr.data(), dim(w_corr, 0), c_corr.data()}, lags, g_vol.second, g_corr.second,
                                threads_of(threads));
              }
              return nb::make_tuple(g_vol.first, g_corr.first);
          },
          nb::arg("z"), nb::arg("w_vol"), nb::arg("c_vol"), nb::arg("w_corr"), nb::arg("c_corr"),
          nb::arg("threads") = 2,
          "Simulated volatility moments (their diagonal) and correlation moments of every draw, over the last "
          "len(w_vol) and len(w_corr) rows of its history, Newey-West lags folded in (len(c_vol) - 1 of them).");

    m.def("spare_blocks",
          [](bool on) { SpareBlocks::get().hold(on); },
          nb::arg("on"),
          "Opens (True) or closes (False) the keeping of large freed outputs for later ones; when the last "
          "opening is closed the kept blocks are freed.");
    m.def("spare_bytes", []() { return SpareBlocks::get().held(); },
          "Bytes of freed outputs kept for later ones.");

    m.def("nan_panels",
          [](size_t rows, size_t cols, size_t count) {
              auto panels = new_panels(rows, cols, count);
              nb::gil_scoped_release release;
              fill_nan(panels.dst, rows * cols);
              return panels.out;
          },
          nb::arg("rows"), nb::arg("cols"), nb::arg("count"), "`count` new (rows, cols) panels of NaN.");

    m.def("scatter_into",
          [](In<std::int32_t, nb::ndim<1>> day, In<std::int32_t, nb::ndim<1>> col, In<std::int64_t, nb::ndim<1>> row_of_day,
             std::vector<In<double, nb::ndim<1>>> values,
             std::vector<nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>> panels) {
              const size_t fields = values.size(), count = day.shape(0), days = row_of_day.shape(0);
              require(panels.size() == fields, "one panel per field");
              require(col.shape(0) == count, "days and columns differ in length");
              for (const auto& v : values) require(v.shape(0) == count, "values and records differ in length");
              const size_t rows = fields ? panels[0].shape(0) : 0, cols = fields ? panels[0].shape(1) : 0;
              for (const auto& p : panels) require(p.shape(0) == rows && p.shape(1) == cols, "panels differ in shape");
              const std::int64_t* map = row_of_day.data();
              for (size_t i = 0; i < days; ++i)
                  require(map[i] < static_cast<std::int64_t>(rows), "a day maps to a row outside the panel");
              const std::int32_t* d = day.data();
              const std::int32_t* c = col.data();
              for (size_t i = 0; i < count; ++i) {
                  require(d[i] >= 0 && static_cast<size_t>(d[i]) < days, "record day outside the calendar span");
                  require(c[i] >= 0 && static_cast<size_t>(c[i]) < cols, "record column outside the panel");
              }
              if (fields == 0) return;
              std::vector<const double*> in(fields);
              std::vector<double*> dst(fields);
              for (size_t f = 0; f < fields; ++f) {
                  in[f] = values[f].data();
                  dst[f] = panels[f].data();
              }
              nb::gil_scoped_release release;
              rmk::scatter(d, c, static_cast<std::ptrdiff_t>(count), map, in.data(), static_cast<int>(fields),
                           static_cast<std::ptrdiff_t>(cols), dst.data());
          },
          nb::arg("day"), nb::arg("col"), nb::arg("row_of_day"), nb::arg("values"), nb::arg("panels"),
          "Writes one batch of records into existing panels (one per field): record i at row row_of_day[day[i]] "
          "(none when negative) and column col[i].");
}
