// Whether a product is on the line, asked as an update asks: PING and, for a well-formed PONG,
// FWID, through the same port, reply reader and handlers as an update. A fixture watch looks
// again and again to see units arrive and leave while its port stays open.
#pragma once

#include <cstdint>

namespace Presence {

enum class Sighting : uint8_t {
    Nothing,     // no well-formed answer: no unit, noise, or an answer for another address
    Product,     // a well-formed PONG, but FWID did not name this product's firmware (another
                 // product, a malformed or missing answer)
    ThisProduct, // FWID named this product's application or boot loader
    Interrupted, // a stop request, or the port went away
};

// One look, each answer awaited at most answerLimitMs. The session's environment and its fixed
// fields (UploadSession::setEnvironment and begin) must be in place.
Sighting look(uint32_t answerLimitMs);

} // namespace Presence
