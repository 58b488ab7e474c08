#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace Avidrift {

struct BoidArrays;

// A uniform grid of cubic cells, rebuilt from the boids' positions every step, so that a boid
// looks for neighbours only in its own cell and the 26 around it. Cells are at least as wide as
// the largest distance that counts, which makes that search find every neighbour. Within a
// cell the boids keep ascending index order.
class NeighbourGrid {
public:
    // Built between steps: Prepare on one thread, then SortRange for disjoint ranges of boids on
    // any threads, then Finish on one thread with the ends of the ranges in ascending order.
    // cellSize must be positive and finite. Boids with a non-finite coordinate go into no cell:
    // no distance to them is ever below a threshold.
    void Prepare(std::uint32_t boidCount, float cellSize);
    void SortRange(const BoidArrays& boids, std::uint32_t begin, std::uint32_t end);
    void Finish(const std::vector<std::uint32_t>& rangeEnds);

    std::uint32_t GetCellCount() const { return static_cast<std::uint32_t>(m_keys.size()); }
    const std::uint32_t* CellBegin(std::uint32_t cell) const {
        return m_order.data() + m_cellStart[cell];
    }
    std::uint32_t CellSize(std::uint32_t cell) const {
        return m_cellStart[cell + 1] - m_cellStart[cell];
    }
    // The boids in no cell.
    const std::vector<std::uint32_t>& GetOutsiders() const { return m_outsiders; }

    // Called from any thread once built: the boids of the cell and its neighbours in ascending
    // index order, into out (replaced).
    void GatherNeighbourhood(std::uint32_t cell, std::vector<std::uint32_t>& out) const;

    // Cuts the cells into at most maxChunks runs of about equal boid counts: chunk c is the cells
    // [result[c], result[c + 1]). Dense cells cost far more than sparse ones, so runs of equal
    // cell counts would leave one task idle while another finishes.
    std::vector<std::uint32_t> PlanChunks(std::uint32_t maxChunks) const;

    // The pairs a grid step examines: the sum over cells of boids times neighbourhood boids.
    std::uint64_t CountCandidatePairs() const;

    // The most the grid holds per boid once built: an entry and its merge scratch, its place in
    // the order, and at worst a cell of its own (key and start) or a place among the outsiders.
    static constexpr std::size_t kMaxBytesPerBoid =
        2 * sizeof(std::pair<std::uint64_t, std::uint32_t>) + sizeof(std::uint32_t) +
        sizeof(std::uint64_t) + sizeof(std::uint32_t) + sizeof(std::uint32_t);

private:
    // Sorts m_entries[begin, end), whose keys are set, by (key, boid).
    void SortEntries(std::uint32_t begin, std::uint32_t end);
    template <typename Visit>
    void ForEachNeighbourCell(std::uint32_t cell, Visit visit) const;

    std::vector<std::uint64_t> m_keys;       // occupied cells, ascending
    std::vector<std::uint32_t> m_cellStart;  // m_order offset of each cell, and the end
    std::vector<std::uint32_t> m_order;      // boids sorted by cell, then index
    std::vector<std::uint32_t> m_outsiders;  // boids in no cell
    double m_inverseCellSize = 0.0;
    // (cell key, boid) for every boid, sorted by ranges and then merged.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> m_entries;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> m_mergeScratch;
};

// The boids of one cell into boids, in an order where each run of blockSize (the last may be
// shorter) has a small box.
void PlaceInBlocks(const BoidArrays& all, const std::uint32_t* cellBoids, std::uint32_t size,
                   std::uint32_t blockSize, std::vector<std::uint32_t>& boids);

}  // namespace Avidrift
