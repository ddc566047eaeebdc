#include "UnitNails.h"

#include <cstdlib>
#include <memory>

#include "LocatorHelpers.h"
#include "QovFormat.h"
#include "SysUtils.h"
#include "UnitDownload.h"
#include "UnitLog.h"
#include "UnitQovCore.h"
#include "UnitShare.h"

namespace qov {

namespace {

struct TMallocFree {
    void operator()(void* p) const { std::free(p); }
};

// Raises the calling thread to normal priority for its lifetime when it runs
// lower. The JPEG decoder is shared with playback under one lock, and the
// list reader runs at the lowest priority: it holds the lock at normal
// priority, so that the play thread never waits on a thread that a busy
// machine does not schedule.
class TNormalPriority {
public:
    TNormalPriority() : FOld(GetThreadPriority(GetCurrentThread()))
    {
        if (FOld != THREAD_PRIORITY_ERROR_RETURN && FOld < THREAD_PRIORITY_NORMAL)
            SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    }
    ~TNormalPriority()
    {
        if (FOld != THREAD_PRIORITY_ERROR_RETURN && FOld < THREAD_PRIORITY_NORMAL)
            SetThreadPriority(GetCurrentThread(), FOld);
    }
    TNormalPriority(const TNormalPriority&) = delete;
    TNormalPriority& operator=(const TNormalPriority&) = delete;

private:
    int FOld;
};

} // namespace

HBITMAP LoadNailPicture(const std::string& fileName)
{
    const TNailPictureKind kind = NailPictureKind(fileName);
    if (kind == npkNone)
        throw Exception("Unknown picture file extension (" + fileName + ")");
    std::string file;
    if (!ReadSmallFile(fileName, kPictureBlockSize, &file))
        throw Exception("Cannot read picture " + fileName);
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
    std::unique_ptr<uint8_t, TMallocFree> decoded;
    const uint8_t* image = bytes;
    uint32_t length = static_cast<uint32_t>(file.size());
    if (kind == npkJpeg) {
        decoded.reset(static_cast<uint8_t*>(std::malloc(kPicturePayloadLimit)));
        if (!decoded)
            throw EOutOfMemory("Out of memory");
        TNormalPriority decoding;
        length = DecodeStillPicture(true, bytes, length, decoded.get(), kPicturePayloadLimit);
        image = decoded.get();
    }
    const TDecodedImage checked = CheckedImage(image, length);

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kNailPictureSize;
    info.bmiHeader.biHeight = kNailPictureSize;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP picture = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!picture)
        throw Exception("Cannot make the picture's bitmap");
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, picture);
    SetStretchBltMode(dc, HALFTONE);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    const int lines = StretchDIBits(dc, 0, 0, kNailPictureSize, kNailPictureSize, 0, 0, checked.Width,
                                    checked.Height, checked.Rows, checked.Info, DIB_RGB_COLORS, SRCCOPY);
    SelectObject(dc, old);
    DeleteDC(dc);
    if (lines == 0 || lines == static_cast<int>(GDI_ERROR)) {
        DeleteObject(picture);
        throw Exception("Cannot draw picture " + fileName);
    }
    return picture;
}

TNailsCreator::TNailsCreator(HWND window, const std::string& folder, LPARAM generation)
    : FWindow(window), FFolder(folder), FGeneration(generation)
{
    StartThread();
    SetThreadPriority(Handle(), THREAD_PRIORITY_IDLE);
    Post(WM_USER);
}

TNailsCreator::~TNailsCreator()
{
    FTerminated.store(true);
    // The picture under way is finished first: at the lowest priority a busy
    // machine would keep the waiting thread waiting for it.
    if (Handle())
        SetThreadPriority(Handle(), THREAD_PRIORITY_NORMAL);
    EndThread();
}

void TNailsCreator::Execute()
{
    try {
        std::string text;
        bool cut = false;
        if (!ReadNailsListFile(FFolder + "nails.xml", &text, &cut))
            return;
        TNailsList list;
        list.Load(std::move(text), cut);
        if (list.Cut())
            Log().AddLine(Format("TNailsCreator.Execute -> %snails.xml is cut to its first %d lines (at most %u bytes "
                                 "and %d lines are read)",
                                 FFolder.c_str(), list.Count(), static_cast<unsigned>(kMaxNailsListBytes),
                                 kMaxNailsListLines));
        for (const TNailEntry& entry : list.Entries(FFolder)) {
            if (FTerminated.load())
                break;
            auto post = std::make_unique<TNailPost>();
            if (!FillNailRecord(post->Record, entry.Path, entry.Seconds))
                continue;
            try {
                post->Picture = LoadNailPicture(entry.Path);
            } catch (const std::exception& e) {
                Log().AddLine(std::string("TNailsCreator.Execute -> ") + e.what());
                continue;
            }
            if (FTerminated.load() ||
                !PostMessageA(FWindow, WM_NAIL_ADD, reinterpret_cast<WPARAM>(post.get()), FGeneration))
                break;
            post.release();
            FPosted.fetch_add(1);
        }
    } catch (const std::exception& e) {
        Log().AddLine(std::string("TNailsCreator.Execute -> ") + e.what());
    } catch (...) {
        Log().AddLine("TNailsCreator.Execute -> Unknown exception");
    }
}

} // namespace qov
