#include "Avidrift/Flock/NeighbourGrid.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "Avidrift/Flock/NeighbourSearch.h"

namespace Avidrift {

namespace {

// Cell coordinates are clamped to 21 bits each, so a key packs all three exactly. Boids beyond
// the clamp share the border cells: slower, never wrong, since a cell only proposes candidates.
constexpr int kCoordinateBits = 21;
constexpr std::int64_t kCoordinateLimit = std::int64_t{1} << (kCoordinateBits - 1);
constexpr std::uint64_t kCoordinateMask = (std::uint64_t{1} << kCoordinateBits) - 1;

std::uint64_t CellCoordinate(float position, double inverseCellSize) {
    const double cell = std::floor(static_cast<double>(position) * inverseCellSize);
    const double clamped = std::clamp(cell, static_cast<double>(-kCoordinateLimit),
                                      static_cast<double>(kCoordinateLimit - 1));
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(clamped) + kCoordinateLimit);
}

// No cell packs to this: its top bit is above the three coordinates' 63 bits.
constexpr std::uint64_t kOutside = ~std::uint64_t{0};

std::uint64_t PackKey(std::uint64_t x, std::uint64_t y, std::uint64_t z) {
    return (x << (2 * kCoordinateBits)) | (y << kCoordinateBits) | z;
}

// The nine columns of three cells around the cell with this key (those inside the grid), in
// ascending key order, each as the keys of its first and last cell: z is the key's lowest part,
// so a column's cells lie together in key order. visit(column, first, last), column from 0 to 8.
template <typename Visit>
void ForEachColumn(std::uint64_t key, Visit visit) {
    const auto x = static_cast<std::int64_t>(key >> (2 * kCoordinateBits));
    const auto y = static_cast<std::int64_t>((key >> kCoordinateBits) & kCoordinateMask);
    const auto z = static_cast<std::int64_t>(key & kCoordinateMask);
    const auto inRange = [](std::int64_t c) { return c >= 0 && c < 2 * kCoordinateLimit; };
    const auto low = static_cast<std::uint64_t>(std::max<std::int64_t>(z - 1, 0));
    const auto high =
        static_cast<std::uint64_t>(std::min<std::int64_t>(z + 1, 2 * kCoordinateLimit - 1));
    for (int column = 0; column < 9; ++column) {
        const std::int64_t cx = x + column / 3 - 1;
        const std::int64_t cy = y + column % 3 - 1;
        if (inRange(cx) && inRange(cy)) {
            const auto ux = static_cast<std::uint64_t>(cx);
            const auto uy = static_cast<std::uint64_t>(cy);
            visit(column, PackKey(ux, uy, low), PackKey(ux, uy, high));
        }
    }
}

}  // namespace

void NeighbourGrid::Prepare(std::uint32_t boidCount, float cellSize) {
    m_inverseCellSize = 1.0 / static_cast<double>(cellSize);
    m_entries.resize(boidCount);
    m_mergeScratch.resize(boidCount);
}

void NeighbourGrid::SortRange(const BoidArrays& boids, std::uint32_t begin, std::uint32_t end) {
    for (std::uint32_t i = begin; i < end; ++i) {
        const float x = boids.px[i];
        const float y = boids.py[i];
        const float z = boids.pz[i];
        // Boids off every cell sort last, behind a key no cell has.
        m_entries[i] = {std::isfinite(x) && std::isfinite(y) && std::isfinite(z)
                            ? PackKey(CellCoordinate(x, m_inverseCellSize),
                                      CellCoordinate(y, m_inverseCellSize),
                                      CellCoordinate(z, m_inverseCellSize))
                            : kOutside,
                        i};
    }
    SortEntries(begin, end);
}

void NeighbourGrid::SortEntries(std::uint32_t begin, std::uint32_t end) {
    // Sorted by (key, index), which keeps each cell's boids in ascending index order. A flock
    // occupies a small box of cells, so numbering the cells of that box (in the keys' order)
    // takes a few digits, and a stable counting sort per digit of the entries, which come in
    // index order, costs two passes where a comparison sort costs twenty.
    constexpr std::uint32_t kDigitBits = 12;
    constexpr std::uint64_t kDigits = std::uint64_t{1} << kDigitBits;
    constexpr std::uint32_t kMostPasses = 3;
    std::uint64_t low[3] = {kCoordinateMask, kCoordinateMask, kCoordinateMask};
    std::uint64_t high[3] = {0, 0, 0};
    const auto field = [](std::uint64_t key, int axis) {
        return (key >> ((2 - axis) * kCoordinateBits)) & kCoordinateMask;
    };
    for (std::uint32_t e = begin; e < end; ++e) {
        const std::uint64_t key = m_entries[e].first;
        if (key != kOutside) {
            for (int axis = 0; axis < 3; ++axis) {
                low[axis] = std::min(low[axis], field(key, axis));
                high[axis] = std::max(high[axis], field(key, axis));
            }
        }
    }
    // Cells of the box along each axis (none when the slice has no boid in a cell).
    std::uint64_t extent[3];
    for (int axis = 0; axis < 3; ++axis) {
        extent[axis] = high[axis] >= low[axis] ? high[axis] - low[axis] + 1 : 1;
    }
    const std::uint64_t boxCells = extent[0] * extent[1] * extent[2];  // below 2^63
    std::uint32_t passes = 1;
    while (passes <= kMostPasses && (boxCells >> (passes * kDigitBits)) != 0) {
        ++passes;
    }
    if (end - begin < kDigits / 2 || passes > kMostPasses) {
        // Too few boids to pay for the digits' counts, or too wide a box for a few digits.
        std::sort(m_entries.begin() + begin, m_entries.begin() + end);
        return;
    }
    // The cell's number in the box; boids off every cell come after the box's last cell.
    const auto number = [&](std::uint64_t key) {
        if (key == kOutside) {
            return boxCells;
        }
        return ((field(key, 0) - low[0]) * extent[1] + (field(key, 1) - low[1])) * extent[2] +
               (field(key, 2) - low[2]);
    };
    auto* from = &m_entries;
    auto* to = &m_mergeScratch;
    std::vector<std::uint32_t> place(kDigits);
    for (std::uint32_t pass = 0; pass < passes; ++pass) {
        const std::uint32_t shift = pass * kDigitBits;
        const auto digit = [&](std::uint64_t key) {
            return static_cast<std::uint32_t>((number(key) >> shift) & (kDigits - 1));
        };
        std::fill(place.begin(), place.end(), 0);
        for (std::uint32_t e = begin; e < end; ++e) {
            ++place[digit((*from)[e].first)];
        }
        std::uint32_t next = begin;
        for (std::uint32_t& p : place) {
            next += std::exchange(p, next);
        }
        for (std::uint32_t e = begin; e < end; ++e) {
            (*to)[place[digit((*from)[e].first)]++] = (*from)[e];
        }
        std::swap(from, to);
    }
    if (from != &m_entries) {
        std::copy(from->begin() + begin, from->begin() + end, m_entries.begin() + begin);
    }
}

void NeighbourGrid::Finish(const std::vector<std::uint32_t>& rangeEnds) {
    // Merge the sorted ranges pairwise, as many rounds as it takes.
    std::vector<std::uint32_t> ends = rangeEnds;
    while (ends.size() > 1) {
        std::vector<std::uint32_t> merged;
        std::uint32_t begin = 0;
        for (std::size_t r = 0; r < ends.size(); r += 2) {
            const std::uint32_t middle = ends[r];
            const std::uint32_t stop = r + 1 < ends.size() ? ends[r + 1] : middle;
            std::merge(m_entries.begin() + begin, m_entries.begin() + middle,
                       m_entries.begin() + middle, m_entries.begin() + stop,
                       m_mergeScratch.begin() + begin);
            merged.push_back(stop);
            begin = stop;
        }
        m_entries.swap(m_mergeScratch);
        ends.swap(merged);
    }
    m_keys.clear();
    m_cellStart.clear();
    m_outsiders.clear();
    m_order.clear();
    for (std::size_t e = 0; e < m_entries.size(); ++e) {
        const auto& [key, boid] = m_entries[e];
        if (key == kOutside) {
            m_outsiders.push_back(boid);
            continue;
        }
        if (e == 0 || key != m_entries[e - 1].first) {
            m_keys.push_back(key);
            m_cellStart.push_back(static_cast<std::uint32_t>(m_order.size()));
        }
        m_order.push_back(boid);
    }
    m_cellStart.push_back(static_cast<std::uint32_t>(m_order.size()));
}

template <typename Visit>
void NeighbourGrid::ForEachNeighbourCell(std::uint32_t cell, Visit visit) const {
    ForEachColumn(m_keys[cell], [&](int, std::uint64_t first, std::uint64_t last) {
        // One search finds a column's first occupied cell; the others follow it.
        for (auto found = std::lower_bound(m_keys.begin(), m_keys.end(), first);
             found != m_keys.end() && *found <= last; ++found) {
            visit(static_cast<std::uint32_t>(found - m_keys.begin()));
        }
    });
}

void NeighbourGrid::GatherNeighbourhood(std::uint32_t cell, std::vector<std::uint32_t>& out) const {
    out.clear();
    std::uint32_t cells[27];
    std::uint32_t runs = 0;
    std::uint32_t total = 0;
    std::uint32_t lowest = ~std::uint32_t{0};
    std::uint32_t highest = 0;
    ForEachNeighbourCell(cell, [&](std::uint32_t neighbour) {
        // Occupied cells only, each ascending: its first and last boid bound it.
        cells[runs++] = neighbour;
        total += CellSize(neighbour);
        lowest = std::min(lowest, CellBegin(neighbour)[0]);
        highest = std::max(highest, CellBegin(neighbour)[CellSize(neighbour) - 1]);
    });
    if (runs == 0) {
        return;
    }
    // A bit per index of the span, and a bit per word of those: reading back the marked words
    // in order sorts the neighbourhood in a few operations per boid, however far apart its
    // indices are. Merging the cells' runs instead takes five rounds of branches that a flock
    // flown a while, its indices mixed, mispredicts about every other boid; it took a third of
    // the step at 100,000 boids. Both stay all zero between calls: only marked words are read,
    // and each is cleared as it is read.
    thread_local std::vector<std::uint64_t> bits;
    thread_local std::vector<std::uint64_t> words;
    const std::uint64_t span = std::uint64_t{highest} - lowest + 1;
    const std::size_t wordCount = static_cast<std::size_t>((span + 63) / 64);
    const std::size_t summaryCount = (wordCount + 63) / 64;
    if (bits.size() < wordCount) {
        bits.resize(wordCount, 0);
    }
    if (words.size() < summaryCount) {
        words.resize(summaryCount, 0);
    }
    // Sized before any bit is set, so that a failed allocation leaves the bits clear.
    out.resize(total);
    for (std::uint32_t r = 0; r < runs; ++r) {
        const std::uint32_t* boids = CellBegin(cells[r]);
        for (std::uint32_t b = 0; b < CellSize(cells[r]); ++b) {
            const std::uint32_t offset = boids[b] - lowest;
            bits[offset / 64] |= std::uint64_t{1} << (offset % 64);
            words[offset / 4096] |= std::uint64_t{1} << (offset / 64 % 64);
        }
    }
    std::uint32_t* next = out.data();
    for (std::size_t s = 0; s < summaryCount; ++s) {
        for (std::uint64_t marked = words[s]; marked != 0; marked &= marked - 1) {
            const std::size_t w = s * 64 + static_cast<std::size_t>(std::countr_zero(marked));
            const std::uint32_t base = lowest + static_cast<std::uint32_t>(w * 64);
            for (std::uint64_t word = bits[w]; word != 0; word &= word - 1) {
                *next++ = base + static_cast<std::uint32_t>(std::countr_zero(word));
            }
            bits[w] = 0;
        }
        words[s] = 0;
    }
}

std::uint64_t NeighbourGrid::CountCandidatePairs() const {
    // The step asks this before each step on one thread, so it sweeps instead of searching:
    // cell by cell in key order, the first key of each of the nine neighbouring columns only
    // grows, and one cursor a column walks the keys once in all.
    std::size_t cursors[9] = {};
    const std::size_t cells = m_keys.size();
    std::uint64_t pairs = 0;
    for (std::uint32_t cell = 0; cell < cells; ++cell) {
        std::uint64_t neighbourhood = 0;
        ForEachColumn(m_keys[cell], [&](int column, std::uint64_t first, std::uint64_t last) {
            std::size_t& at = cursors[column];
            while (at < cells && m_keys[at] < first) {
                ++at;
            }
            for (std::size_t c = at; c < cells && m_keys[c] <= last; ++c) {
                neighbourhood += CellSize(static_cast<std::uint32_t>(c));
            }
        });
        pairs += neighbourhood * CellSize(cell);
    }
    return pairs;
}

std::vector<std::uint32_t> NeighbourGrid::PlanChunks(std::uint32_t maxChunks) const {
    const std::uint32_t cells = GetCellCount();
    const std::uint32_t chunks = std::min(std::max<std::uint32_t>(cells, 1), maxChunks);
    std::vector<std::uint32_t> firstCell(chunks + 1, cells);
    firstCell[0] = 0;
    const std::uint64_t inCells = m_order.size();
    std::uint64_t seen = 0;
    std::uint32_t chunk = 0;
    for (std::uint32_t cell = 0; cell < cells && chunk + 1 < chunks; ++cell) {
        while (chunk + 1 < chunks && seen >= inCells * (chunk + 1) / chunks) {
            firstCell[++chunk] = cell;
        }
        seen += CellSize(cell);
    }
    return firstCell;
}

namespace {

struct Placed {
    float p[3];
    std::uint32_t boid;
};

// A stable counting sort of placed[0, count) by their coordinate on axis, in [low, high], into
// 64 slices: only the blocks' boxes depend on the order within a slice.
void SortAlong(Placed* placed, std::uint32_t count, int axis, float low, float high,
               std::vector<Placed>& scratch) {
    constexpr std::uint32_t kSlices = 64;
    // A box too wide or too thin for a finite scale (far-flung or coincident boids) is one slice.
    const float width = high - low;
    const float scale = width > 0.0f && std::isfinite(width) && std::isfinite(kSlices / width)
                            ? kSlices / width
                            : 0.0f;
    const auto slice = [&](const Placed& q) {
        return scale > 0.0f
                   ? std::min(static_cast<std::uint32_t>((q.p[axis] - low) * scale), kSlices - 1)
                   : 0u;
    };
    std::uint32_t first[kSlices + 1] = {};
    for (std::uint32_t b = 0; b < count; ++b) {
        ++first[slice(placed[b]) + 1];
    }
    for (std::uint32_t k = 0; k < kSlices; ++k) {
        first[k + 1] += first[k];
    }
    scratch.resize(count);
    for (std::uint32_t b = 0; b < count; ++b) {
        scratch[first[slice(placed[b])]++] = placed[b];
    }
    std::copy(scratch.begin(), scratch.begin() + count, placed);
}

}  // namespace

void PlaceInBlocks(const BoidArrays& all, const std::uint32_t* cellBoids, std::uint32_t size,
                   std::uint32_t blockSize, std::vector<std::uint32_t>& boids) {
    // Only the cost depends on this order: every boid's sums are the same whichever boids share
    // its block. The cell is cut into slabs across its widest axis, each slab into strips across
    // the next, each strip into blocks along the last, all in whole blocks: a block then spans
    // about a cube root of the cell's blocks along each axis.
    if (size <= blockSize) {
        boids.assign(cellBoids, cellBoids + size);
        return;
    }
    thread_local std::vector<Placed> placed;
    thread_local std::vector<Placed> scratch;
    placed.resize(size);
    for (std::uint32_t b = 0; b < size; ++b) {
        const std::uint32_t i = cellBoids[b];
        placed[b] = {{all.px[i], all.py[i], all.pz[i]}, i};
    }
    const BoidBox box = BoidBox::Around(all, cellBoids, size);
    int axes[3] = {0, 1, 2};
    std::sort(axes, axes + 3,
              [&](int a, int b) { return box.high[a] - box.low[a] > box.high[b] - box.low[b]; });
    const auto along = [&](Placed* first, std::uint32_t count, int axis) {
        SortAlong(first, count, axis, box.low[axis], box.high[axis], scratch);
    };
    const auto ceilDivide = [](std::uint32_t a, std::uint32_t b) { return (a + b - 1) / b; };
    const std::uint32_t blocks = ceilDivide(size, blockSize);
    const auto slabs =
        static_cast<std::uint32_t>(std::ceil(std::cbrt(static_cast<double>(blocks))));
    const std::uint32_t slabSize = ceilDivide(blocks, slabs) * blockSize;
    along(placed.data(), size, axes[0]);
    for (std::uint32_t slab = 0; slab < size; slab += slabSize) {
        const std::uint32_t inSlab = std::min(slabSize, size - slab);
        along(placed.data() + slab, inSlab, axes[1]);
        const std::uint32_t slabBlocks = ceilDivide(inSlab, blockSize);
        const auto strips =
            static_cast<std::uint32_t>(std::ceil(std::sqrt(static_cast<double>(slabBlocks))));
        const std::uint32_t stripSize = ceilDivide(slabBlocks, strips) * blockSize;
        for (std::uint32_t strip = 0; strip < inSlab; strip += stripSize) {
            along(placed.data() + slab + strip, std::min(stripSize, inSlab - strip), axes[2]);
        }
    }
    boids.resize(size);
    for (std::uint32_t b = 0; b < size; ++b) {
        boids[b] = placed[b].boid;
    }
}

}  // namespace Avidrift
