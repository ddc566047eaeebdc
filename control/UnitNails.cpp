#include "UnitNails.h"

#include <memory>

#include "UnitDownload.h"
#include "UnitLog.h"

namespace qov {

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
    EndThread();
}

void TNailsCreator::Execute()
{
    try {
        std::string text;
        if (!ReadSmallFile(FFolder + "nails.xml", kMaxNailsListSize, &text))
            return;
        TNailsList list;
        list.Load(std::move(text));
        for (const TNailEntry& entry : list.Entries(FFolder)) {
            if (FTerminated.load())
                break;
            auto record = std::make_unique<NailRecord>();
            if (!FillNailRecord(*record, entry.Path, entry.Seconds))
                continue;
            if (!PostMessageA(FWindow, WM_NAIL_ADD, reinterpret_cast<WPARAM>(record.get()), FGeneration))
                break;
            record.release();
            FPosted.fetch_add(1);
        }
    } catch (const std::exception& e) {
        Log().AddLine(std::string("TNailsCreator.Execute -> ") + e.what());
    } catch (...) {
        Log().AddLine("TNailsCreator.Execute -> Unknown exception");
    }
}

} // namespace qov
