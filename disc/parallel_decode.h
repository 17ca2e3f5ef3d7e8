// Decoding numbered units of compressed data (CHD hunks, blocks of a packed
// disc) on several threads while one consumer takes them strictly in order.
//
// Unit n is decoded by one worker into a buffer of its own; the consumer gets
// units 0, 1, 2 ... each once, on the calling thread. At most
// max(8, 4 * threads) buffers exist at a time, so memory stays bounded
// however many units there are and however slow the consumer. What the
// consumer sees does not depend on the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace vexlo {

// Decodes unit `n` into `out` (unit_bytes long): how many bytes it made, or
// nothing when the unit is damaged. One decoder serves one thread, so it may
// keep codec state between calls.
using UnitDecoder = std::function<std::optional<std::size_t>(
    uint64_t n, std::span<uint8_t> out)>;

// Takes unit `n`: the bytes its decoder made (empty when `ok` is false: the
// unit is damaged), which it may change, valid until it returns. Returning
// false stops the decoding.
using UnitConsumer =
    std::function<bool(uint64_t n, std::span<uint8_t> bytes, bool ok)>;

// Decodes units [0, count), each into at most `unit_bytes`, on `threads`
// threads (0: one per core; 1: on the calling thread alone), with a decoder
// from `make_decoder` for each thread, and hands them to `consume` in order.
// A decoder that runs out of memory counts its unit as damaged; without
// memory or threads for the workers, the calling thread decodes alone. True
// when every unit was consumed, false when `consume` stopped. An exception of
// `consume` or `make_decoder` stops the workers and is passed on.
bool decode_in_order(uint64_t count, std::size_t unit_bytes, unsigned threads,
                     const std::function<UnitDecoder()>& make_decoder,
                     const UnitConsumer& consume);

}  // namespace vexlo
