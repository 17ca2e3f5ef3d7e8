#include "packed/lz_parse.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vexlo {

namespace {

// Positions parsed as one shortest-path problem; the path is cut at the end
// of each block (a negligible loss) so memory stays small for 16 MiB.
constexpr std::size_t kBlock = std::size_t{1} << 16;
constexpr int kHashBits = 16;
// A match or run at least this long is taken at once, and the positions it
// covers are not searched: long runs and repeats then cost one step each.
constexpr uint32_t kCommitLen = 128;

struct Match {
  uint32_t len;
  uint32_t dist;
};

std::size_t match_length(const uint8_t* a, const uint8_t* b,
                         std::size_t limit) {
  std::size_t n = 0;
  if constexpr (std::endian::native == std::endian::little) {
    while (n + 8 <= limit) {
      uint64_t x, y;
      std::memcpy(&x, a + n, 8);
      std::memcpy(&y, b + n, 8);
      if (x != y)
        return n + static_cast<std::size_t>(std::countr_zero(x ^ y) >> 3);
      n += 8;
    }
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// Hash chains over 3-byte prefixes (newest first), plus the newest place of
// each 2-byte pair for schemes whose copies start at two bytes. A search
// ends at a match of `nice` bytes.
class MatchFinder {
 public:
  MatchFinder(std::span<const uint8_t> data, uint32_t max_dist,
              uint32_t min_len, uint32_t nice)
      : d_(data.data()),
        size_(data.size()),
        max_dist_(max_dist),
        min_len_(std::max<uint32_t>(min_len, 1)),
        nice_(nice),
        mask_(std::bit_ceil(std::max<uint32_t>(max_dist, 1) + 1u) - 1),
        head_(std::size_t{1} << kHashBits, 0),
        prev_(std::size_t{mask_} + 1, 0) {
    if (min_len_ <= 2) pairs_.assign(65536, 0);
  }

  void insert(std::size_t pos) {
    if (pos + 3 <= size_) {
      const uint32_t h = hash(pos);
      prev_[pos & mask_] = head_[h];
      head_[h] = static_cast<uint32_t>(pos + 1);
    }
    if (!pairs_.empty() && pos + 2 <= size_)
      pairs_[d_[pos] | (d_[pos + 1] << 8)] = static_cast<uint32_t>(pos + 1);
  }

  // Matches at `pos` of at most `limit` bytes, each longer and farther than
  // the one before, from at most `depth` places of the chain; returns the
  // places looked at.
  uint32_t find(std::size_t pos, std::size_t limit, uint32_t depth,
                std::vector<Match>& out) const {
    out.clear();
    if (limit < min_len_) return 0;
    const uint8_t* p = d_ + pos;
    std::size_t best = min_len_ - 1;
    auto consider = [&](std::size_t cand) {
      const std::size_t len = match_length(d_ + cand, p, limit);
      if (len > best) {
        best = len;
        out.push_back(
            {static_cast<uint32_t>(len), static_cast<uint32_t>(pos - cand)});
      }
    };
    if (!pairs_.empty() && limit >= 2) {
      const uint32_t c = pairs_[p[0] | (p[1] << 8)];
      if (c != 0 && pos - (c - 1) <= max_dist_) consider(c - 1);
    }
    if (limit < 3 || best >= limit || pos + 3 > size_) return 0;
    uint32_t cand = head_[hash(pos)];
    uint32_t steps = 0;
    for (; cand != 0 && steps < depth; ++steps) {
      const std::size_t c = cand - 1;
      if (pos - c > max_dist_) break;
      if (d_[c + best] == p[best]) {
        consider(c);
        if (best >= nice_ || best >= limit) break;
      }
      const uint32_t next = prev_[c & mask_];
      if (next >= cand) break;  // a slot reused by a newer position
      cand = next;
    }
    return steps;
  }

 private:
  uint32_t hash(std::size_t pos) const {
    const uint32_t v = d_[pos] | (d_[pos + 1] << 8) | (d_[pos + 2] << 16);
    return (v * 2654435761u) >> (32 - kHashBits);
  }

  const uint8_t* d_;
  std::size_t size_;
  uint32_t max_dist_, min_len_, nice_, mask_;
  std::vector<uint32_t> head_, prev_, pairs_;
};

}  // namespace

std::vector<LzOp> lz_parse(std::span<const uint8_t> data, std::size_t begin,
                           std::size_t end, std::size_t window_begin,
                           const LzModel& model) {
  uint32_t min_len = 0xFFFFFFFFu, max_len = 0, max_dist = 0, max_fill = 0;
  for (const LzToken& t : model.copies) {
    min_len = std::min(min_len, t.min_len);
    max_len = std::max(max_len, t.max_len);
    max_dist = std::max(max_dist, t.max_dist);
  }
  for (const LzToken& t : model.fills) max_fill = std::max(max_fill, t.max_len);
  if (model.copies.empty()) min_len = 0xFFFFFFFFu;
  // The chains are searched up to 1024 places deep while the search stays
  // within a budget of places for the whole stream (so that data whose
  // chains are all long, like bytes of one bit, still packs in time): each
  // position may use its share of what is left, and no fewer than 8.
  uint64_t budget = 16 * uint64_t{end - begin} + (uint64_t{4} << 20);
  MatchFinder finder(data, max_dist, min_len == 0xFFFFFFFFu ? 0xFFFF : min_len,
                     std::max(max_len, 1u));
  for (std::size_t p = window_begin; p < begin; ++p) finder.insert(p);

  const uint32_t reach = std::max(max_len, max_fill);

  std::vector<LzOp> out;
  std::vector<uint32_t> cost;
  std::vector<LzOp> via;
  std::vector<Match> matches;
  std::vector<const LzToken*> usable;
  std::size_t run_end = begin;  // end of the run of equal bytes at hand
  // Bytes equal to data[j] from j on (j never goes back).
  auto run_from = [&](std::size_t j) {
    if (j >= run_end) {
      run_end = j + 1;
      while (run_end < end && data[run_end] == data[j]) ++run_end;
    }
    return run_end - j;
  };
  std::size_t pos = begin;
  while (pos < end) {
    const std::size_t bstart = pos;
    std::size_t bend = std::min(end, bstart + kBlock);
    const std::size_t slots =
        std::min(end, bstart + kBlock + 2 * std::size_t{reach}) - bstart + 1;
    cost.assign(slots, kNoCost);
    via.assign(slots, LzOp{});
    cost[0] = 0;
    LzOp longest;  // the longest token tried from here
    auto relax = [&](std::size_t to, uint32_t c, LzOp op) {
      if (op.len > longest.len) longest = op;
      uint32_t& slot = cost[to - bstart];
      if (c < slot) {
        slot = c;
        via[to - bstart] = op;
      }
    };
    std::size_t i = bstart;
    while (i < bend) {
      const uint32_t here = cost[i - bstart];
      longest = LzOp{};
      relax(i + 1, here + model.literal, LzOp{LzOp::kLiteral, 1, 0});
      if (max_len != 0) {
        const uint64_t share = budget / (end - i);
        const uint32_t depth =
            static_cast<uint32_t>(std::clamp<uint64_t>(share, 8, 1024));
        const uint32_t used = finder.find(
            i, std::min<std::size_t>(end - i, max_len), depth, matches);
        budget -= std::min<uint64_t>(budget, used);
        uint32_t done = min_len - 1;
        for (const Match& m : matches) {
          usable.clear();
          for (const LzToken& t : model.copies)
            if (m.dist <= t.max_dist) usable.push_back(&t);
          for (uint32_t len = done + 1; len <= m.len; ++len) {
            for (const LzToken* t : usable) {
              if (len < t->min_len || len > t->max_len) continue;
              relax(i + len, here + t->cost, LzOp{LzOp::kCopy, len, m.dist});
              break;
            }
          }
          done = m.len;
        }
      }
      if (max_fill != 0) {
        const uint32_t run =
            static_cast<uint32_t>(std::min<std::size_t>(run_from(i), max_fill));
        for (const LzToken& t : model.fills) {
          for (uint32_t len = t.min_len; len <= std::min(run, t.max_len);
               ++len) {
            relax(i + len, here + t.cost, LzOp{LzOp::kFill, len, 0});
          }
        }
      }
      finder.insert(i);
      // A copy of the longest length inside a repeat that goes on for long
      // is taken at once too: in runs every position would otherwise try
      // every length. (Where fills exist, they serve runs better.)
      bool commit = longest.len >= kCommitLen;
      if (!commit && max_fill == 0 && longest.kind == LzOp::kCopy &&
          longest.len == max_len) {
        std::size_t e = i + longest.len;
        const std::size_t limit = std::min(end, i + kCommitLen);
        while (e < limit && data[e] == data[e - longest.dist]) ++e;
        commit = e == i + kCommitLen;
      }
      if (commit) {
        // Inside the long token only the literal and the same kind of
        // token (to its end, and as far as it could run from there) are
        // tried, so that a path entering it part-way can still use it.
        const LzOp taken = longest;
        const std::size_t stop = i + taken.len;
        const bool fill = taken.kind == LzOp::kFill;
        std::size_t runs_to = fill ? i + run_from(i) : stop;
        while (!fill && runs_to < end && runs_to < stop + reach &&
               data[runs_to] == data[runs_to - taken.dist])
          ++runs_to;
        auto try_token = [&](std::size_t j, uint32_t at, std::size_t len,
                             LzOp::Kind kind) {
          for (const LzToken& t :
               kind == LzOp::kFill ? model.fills : model.copies) {
            if (taken.dist <= t.max_dist && len >= t.min_len &&
                len <= t.max_len) {
              relax(j + len, at + t.cost,
                    LzOp{kind, static_cast<uint32_t>(len),
                         kind == LzOp::kFill ? 0 : taken.dist});
              return;
            }
          }
        };
        for (std::size_t j = i + 1; j < stop; ++j) {
          finder.insert(j);
          const uint32_t at = cost[j - bstart];
          if (at == kNoCost) continue;
          relax(j + 1, at + model.literal, LzOp{LzOp::kLiteral, 1, 0});
          try_token(j, at, stop - j, taken.kind);
          const std::size_t far =
              std::min<std::size_t>(runs_to - j, fill ? max_fill : max_len);
          if (far > stop - j) try_token(j, at, far, taken.kind);
          // A run met part-way through a copy.
          if (!fill && max_fill != 0)
            try_token(j, at, std::min<std::size_t>(run_from(j), max_fill),
                      LzOp::kFill);
        }
        i = stop;
        bend = std::max(bend, i);
      } else {
        ++i;
      }
    }
    // The cheapest way to the block's end, read backwards.
    const std::size_t first = out.size();
    for (std::size_t at = bend; at > bstart;) {
      const LzOp op = via[at - bstart];
      out.push_back(op);
      at -= op.len;
    }
    std::reverse(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
    pos = bend;
  }
  return out;
}

}  // namespace vexlo
