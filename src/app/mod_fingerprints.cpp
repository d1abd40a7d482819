// What a mod's fingerprinting shares whatever holds the mod: the budget of keys, the threads that
// read the files, and the fingerprints in the order the search takes them.
#include "mod_textures.hpp"
#include "os_process.hpp"

#include <algorithm>
#include <exception>
#include <map>
#include <thread>
#include <tuple>

namespace dyeloom {
namespace {

// The fingerprints' windows keep at most this many keys in all (a flat texture's pattern keeps up
// to 16 whatever the budget): their table (two slots of 16 bytes a key, and filters of two bytes)
// then takes at most 68 MiB and the keys 16 MiB. A mod of up to 2,048 textures keeps the widest
// windows; one of 100,000 keeps windows of 8 keys, and the archive is probed once a word.
constexpr std::size_t fingerprintBudgetKeys = std::size_t{1} << 21;
// A mod of this many textures or more has its files read by every processor the run may use. A
// few hundred files are read in a fraction of a second, in the listing's order.
constexpr std::size_t parallelFromTextures = 256;

void addFingerprint(ModFingerprints& prints, Fingerprint fingerprint, std::size_t texture,
                    bool modded, std::size_t givenUpWhenFound) {
    (modded ? prints.moddedOf : prints.originalOf)[texture] = prints.fingerprints.size();
    prints.fingerprints.push_back(std::move(fingerprint));
    prints.givenUpWhenFound.push_back(givenUpWhenFound);
    prints.texture.push_back(texture);
    prints.modded.push_back(modded ? 1 : 0);
}

} // namespace

std::size_t windowKeysFor(std::size_t textures) {
    // Each texture has two.
    return std::clamp<std::size_t>(fingerprintBudgetKeys / std::max<std::size_t>(2 * textures, 1),
                                   1, maxFingerprintStride);
}

void forEachTexture(std::size_t count,
                    const std::function<void(std::size_t i, ByteBuffer& scratch)>& work) {
    const std::size_t threads =
        count < parallelFromTextures ? 1 : std::min<std::size_t>(os::processorsToUse(), count);
    std::vector<std::exception_ptr> failures(count);
    const auto share = [&](std::size_t first) {
        ByteBuffer scratch(texturePieceBytes);
        for (std::size_t i = first; i < count; i += threads) {
            try {
                work(i, scratch);
            } catch (...) {
                failures[i] = std::current_exception();
                return;
            }
        }
    };
    std::vector<std::thread> workers;
    for (std::size_t w = 1; w < threads; ++w)
        workers.emplace_back(share, w);
    share(0);
    for (std::thread& worker : workers)
        worker.join();
    for (const std::exception_ptr& failure : failures)
        if (failure)
            std::rethrow_exception(failure);
}

ModFingerprints collectFingerprints(std::vector<PairPrints> pairs) {
    ModFingerprints prints;
    prints.originalOf.assign(pairs.size(), ModFingerprints::none);
    prints.moddedOf.assign(pairs.size(), ModFingerprints::none);
    // One image under several names is one original to look for: its names share its outcome.
    std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>, std::size_t> seen;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (!pairs[i].original)
            continue;
        const Fingerprint& original = *pairs[i].original;
        const auto [at, isNew] =
            seen.try_emplace({original.length, original.digest.low, original.digest.high},
                             prints.fingerprints.size());
        const std::size_t originalIndex = at->second;
        if (isNew)
            addFingerprint(prints, std::move(*pairs[i].original), i, false, ModFingerprints::none);
        else
            prints.originalOf[i] = originalIndex;
        if (pairs[i].modded)
            addFingerprint(prints, std::move(*pairs[i].modded), i, true, originalIndex);
    }
    return prints;
}

} // namespace dyeloom
