#include "run_patcher.hpp"

#include "fileio.hpp"
#include "header_bytes.hpp"
#include "install.hpp"
#include "os_console.hpp"
#include "texture_patch.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace dyeloom {
namespace {

struct Arguments {
    std::string archive;
    std::string original;
    std::string modded;
    const char* headerBytes;
};

void print(const std::string& text) {
    std::fputs(text.c_str(), stdout);
}

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

// "bytes F to L" of one span, "N spans between bytes F and L" of several.
std::string spansText(const Recovery& spans) {
    const std::string first = std::to_string(spans.firstByte);
    const std::string last = std::to_string(spans.lastByte);
    return spans.spans > 1
               ? std::to_string(spans.spans) + " spans between bytes " + first + " and " + last
               : "bytes " + first + " to " + last;
}

void printRecovery(const Recovery& recovery, const std::string& archive) {
    switch (recovery.outcome) {
    case Recovery::Outcome::Restored:
        print("restored " + spansText(recovery) + " of " + quoted(archive) +
              " from the journal of an interrupted patch\n");
        break;
    case Recovery::Outcome::RemovedIncomplete:
        print("removed " + quoted(recovery.journalPath) + ", the journal of a patch " +
              "interrupted before it changed " + quoted(archive) + "\n");
        break;
    case Recovery::Outcome::RemovedDone:
    case Recovery::Outcome::NoJournal:
        break;
    }
}

// Lets a stop signal held while the archive was being changed take effect, once everything
// printed so far is out: the signal ends the process without flushing its buffers.
void releaseSignals(os::StopSignals& signals) {
    std::fflush(stdout);
    signals.release();
}

// A modded texture that does not cover the original's span cannot be spliced in; saying so
// before the search spares a long scan that could not end in a patch.
void requireModdedCoversOriginal(const Arguments& args, std::uint64_t original,
                                 std::uint64_t modded) {
    if (!moddedCoversOriginal(original, modded))
        throw std::runtime_error("modded texture '" + args.modded + "' is shorter (" +
                                 std::to_string(modded) + " bytes) than the original texture '" +
                                 args.original + "' (" + std::to_string(original) +
                                 " bytes); the archive is unchanged");
}

// The archive may be the original texture itself (a loose texture patched in place), but it
// cannot be the modded one: its bytes would be read while they are overwritten.
void requireModdedIsNotTheArchive(const Arguments& args, const LoadableFile& archive,
                                  const LoadableFile& modded) {
    if (archive.identity == modded.identity)
        throw std::runtime_error("the archive " + quoted(args.archive) +
                                 " and the modded texture " + quoted(args.modded) +
                                 " are the same file; the archive is unchanged");
}

void patch(const Arguments& args, os::StopSignals& signals) {
    // An interrupted patch is undone before anything reads the archive.
    printRecovery(recoverArchive(args.archive, signals), args.archive);
    releaseSignals(signals);

    LoadableFile archiveFile = openToLoad(args.archive);
    LoadableFile originalFile = openToLoad(args.original);
    LoadableFile moddedFile = openToLoad(args.modded);
    const std::int32_t headerBytes = parseHeaderBytes(args.headerBytes);
    requireModdedCoversOriginal(args, originalFile.size, moddedFile.size);
    requireModdedIsNotTheArchive(args, archiveFile, moddedFile);

    std::vector<Texture> textures(1);
    Texture& texture = textures.front();
    texture.originalPath = args.original;
    texture.moddedPath = args.modded;
    // A texture larger than the archive cannot be in it: nothing of either is read.
    if (originalFile.size > archiveFile.size) {
        print("texture data is not found\n");
        return;
    }
    const FileView archive = viewFile(std::move(archiveFile), ReadPattern::Sparse);
    texture.original.emplace(viewFile(std::move(originalFile), ReadPattern::Whole));
    texture.moddedFile.emplace(std::move(moddedFile));
    // One texture's data that is not there is simply not found, as it always was.
    const Recovery recovery = installTextures(args.archive, archive, textures, headerBytes,
                                              {.lookForModded = false, .progress = {}}, signals);
    if (texture.outcome != Outcome::Replaced) {
        print("texture data is not found\n");
        return;
    }
    printRecovery(recovery, args.archive);
    print("texture data is replaced\n");
}

// Shows, on a terminal and once a run has taken a second, how far the search has come, on one
// line rewritten in place; erased before the result lines.
class ProgressLine {
public:
    ProgressLine(std::uint64_t archiveBytes, std::size_t textures)
        : shown_(os::outputIsTerminal()), archiveBytes_(archiveBytes), textures_(textures) {}
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine() { erase(); }

    void update(std::size_t searched, std::size_t found) {
        constexpr std::uint64_t mib = 1 << 20;
        if (!shown_ || std::chrono::steady_clock::now() - start_ < std::chrono::seconds(1))
            return;
        const std::string line = "searched " + std::to_string(searched / mib) + " of " +
                                 std::to_string(archiveBytes_ / mib) + " MiB, " +
                                 std::to_string(std::min(found, textures_)) + " of " +
                                 std::to_string(textures_) + " textures found";
        // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on "\r" + a string.
        std::string rewrite(1, '\r');
        rewrite += line;
        rewrite.append(width_ > line.size() ? width_ - line.size() : 0, ' ');
        print(rewrite);
        std::fflush(stdout);
        width_ = std::max(width_, line.size());
    }
    void erase() {
        if (width_ == 0)
            return;
        std::string blank(width_ + 2, ' ');
        blank.front() = blank.back() = '\r';
        print(blank);
        width_ = 0;
    }

private:
    bool shown_;
    std::uint64_t archiveBytes_;
    std::size_t textures_;
    std::size_t width_ = 0; // of the longest line shown, 0 while none is
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Pairs every file below the modded folder with the original of the same relative path, and
// settles what can be settled before the search: the textures to skip.
std::vector<Texture> pairTextures(const Arguments& args, const LoadableFile& archive) {
    std::vector<std::string> names;
    if (const auto error = os::listFiles(args.modded, names))
        throw std::runtime_error("can't list the folder " + quoted(args.modded) + ": " +
                                 os::describe(error) + "; the archive is unchanged");
    std::sort(names.begin(), names.end());
    std::vector<Texture> textures(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        Texture& texture = textures[i];
        texture.name = names[i];
        texture.originalPath = args.original + "/" + names[i];
        texture.moddedPath = args.modded + "/" + names[i];
        const auto skip = [&](const std::string& why) {
            texture.outcome = Outcome::Skipped;
            texture.detail = why;
        };
        os::FileStatus status;
        if (const auto error = os::linkStatus(texture.originalPath, status);
            error && os::isMissing(error)) {
            skip("no original of that name in " + quoted(args.original));
            continue;
        }
        try {
            LoadableFile original = openToLoad(texture.originalPath);
            LoadableFile modded = openToLoad(texture.moddedPath);
            if (original.size != modded.size) {
                skip("the modded texture is " + std::to_string(modded.size) +
                     " bytes, the original " + std::to_string(original.size) +
                     "; a texture patched in place keeps its size");
                continue;
            }
            if (modded.identity == archive.identity || original.identity == archive.identity) {
                skip("it is the archive itself");
                continue;
            }
            texture.originalSize = original.size;
            // Larger than the archive, it cannot be in it: nothing of it is read.
            if (original.size > archive.size) {
                texture.outcome = Outcome::NotFound;
                continue;
            }
            texture.original.emplace(viewFile(std::move(original), ReadPattern::Whole));
            texture.modded.emplace(viewFile(std::move(modded), ReadPattern::Whole));
        } catch (const CantOpenError& error) {
            skip("can't open " + quoted(error.path()));
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& error) {
            skip(error.what());
        }
    }
    return textures;
}

std::string lineFor(const Texture& texture) {
    switch (texture.outcome) {
    case Outcome::Replaced:
        return "replaced: " + texture.name;
    case Outcome::AlreadyReplaced:
        return "already replaced: " + texture.name;
    case Outcome::NotFound:
        return "not found: " + texture.name;
    case Outcome::Skipped:
        return "skipped: " + texture.name + ": " + texture.detail;
    case Outcome::Conflict:
        return "conflict: " + texture.name + ": its data overlaps that of " + texture.detail +
               " in the archive; neither is written";
    case Outcome::Pending:
        break;
    }
    return "fatal error";
}

std::string summaryOf(const std::vector<Texture>& textures, const std::string& archive) {
    std::size_t counts[6] = {};
    for (const Texture& texture : textures)
        ++counts[static_cast<int>(texture.outcome)];
    const auto count = [&](Outcome outcome) {
        return std::to_string(counts[static_cast<int>(outcome)]);
    };
    const bool written = counts[static_cast<int>(Outcome::Replaced)] > 0;
    return std::to_string(textures.size()) + (textures.size() == 1 ? " texture: " : " textures: ") +
           count(Outcome::Replaced) + " replaced, " + count(Outcome::AlreadyReplaced) +
           " already replaced, " + count(Outcome::NotFound) + " not found, " +
           count(Outcome::Skipped) + " skipped, " + count(Outcome::Conflict) + " in conflict; " +
           quoted(archive) + (written ? " is patched" : " is unchanged");
}

void installMod(const Arguments& args, os::StopSignals& signals) {
    printRecovery(recoverArchive(args.archive, signals), args.archive);
    releaseSignals(signals);

    LoadableFile archiveFile = openToLoad(args.archive);
    const std::int32_t headerBytes = parseHeaderBytes(args.headerBytes);
    std::vector<Texture> textures = pairTextures(args, archiveFile);
    std::size_t pending = 0;
    for (const Texture& texture : textures)
        pending += texture.outcome == Outcome::Pending ? 1 : 0;
    Recovery recovery;
    if (pending > 0) {
        ProgressLine progress(archiveFile.size, pending);
        const FileView archive = viewFile(std::move(archiveFile), ReadPattern::Sparse);
        InstallOptions options;
        options.progress = [&](std::size_t searched, std::size_t found) {
            progress.update(searched, found);
        };
        recovery = installTextures(args.archive, archive, textures, headerBytes, options, signals);
    }
    printRecovery(recovery, args.archive);
    for (const Texture& texture : textures)
        print(lineFor(texture) + "\n");
    print(summaryOf(textures, args.archive) + "\n");
}

// Whether the two textures named are folders of them. One folder beside one file is the
// single-texture form, which refuses the folder as it refuses any file it cannot load.
bool namesFolders(const Arguments& args) {
    bool originals = false, modded = false;
    return !os::isFolder(args.original, originals) && originals &&
           !os::isFolder(args.modded, modded) && modded;
}

void report(const std::string& text) {
    print(text + "\n");
}

int runCatchingErrors(int argc, const char* const* argv, os::StopSignals& signals) {
    try {
        if (argc != 5) {
            std::printf("howto use: Dyeloom.exe filename.asf originalTexture.dds "
                        "moddedTexture.dds dds_header_bytes\n");
            return 1;
        }
        const Arguments args{argv[1], argv[2], argv[3], argv[4]};
        if (namesFolders(args))
            installMod(args, signals);
        else
            patch(args, signals);
        return 0;
    } catch (const CantOpenError& error) {
        std::printf("can't open '%s'\n", error.path().c_str());
        report(error.what());
    } catch (const std::bad_alloc&) {
        // The library's own text for this differs between platforms.
        report("bad allocation");
    } catch (const std::exception& error) {
        report(error.what());
    } catch (...) {
        report("fatal error");
    }
    return 1;
}

} // namespace

int runPatcher(int argc, const char* const* argv) {
    os::StopSignals signals;
    const int status = runCatchingErrors(argc, argv, signals);
    releaseSignals(signals);
    return status;
}

} // namespace dyeloom
