#include "card/contentdigest.h"

// Compiled into this file alone: no library to ship, and no other file
// sees the hash's names.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {
XXH3_state_t *hashState(void *state)
{
    return static_cast<XXH3_state_t *>(state);
}
} // namespace

ContentDigest::ContentDigest()
    : state(XXH3_createState())
{
    Q_CHECK_PTR(state);
    reset();
}

ContentDigest::~ContentDigest()
{
    XXH3_freeState(hashState(state));
}

void ContentDigest::reset()
{
    XXH3_128bits_reset(hashState(state));
    fed = 0;
}

void ContentDigest::update(const char *bytes, qint64 length)
{
    if (length <= 0)
        return;
    XXH3_128bits_update(hashState(state), bytes, size_t(length));
    fed += length;
}

ContentDigest::Value ContentDigest::value() const
{
    const XXH128_hash_t digest = XXH3_128bits_digest(hashState(state));
    return {digest.low64, digest.high64, true};
}

ContentDigest::Value ContentDigest::of(const char *bytes, qint64 length)
{
    const XXH128_hash_t digest = XXH3_128bits(bytes, size_t(qMax<qint64>(0, length)));
    return {digest.low64, digest.high64, true};
}
