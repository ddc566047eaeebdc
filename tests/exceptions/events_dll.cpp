// A module of the event tests that carries the library: it exports the
// library's receivers, and its own handlers tell the test program, through
// a callback, what they were given.
#include <windows.h>

#include <cstdio>
#include <string>

#include "EEvents.h"
#include "EModules.h"
#include "EStack.h"

using namespace qov::exceptions;

namespace {

using TTell = void(__stdcall*)(const char* text);
TTell Tell = nullptr;
TZephraHandlerRef Handlers;

void Say(const std::string& text)
{
    if (Tell)
        Tell(text.c_str());
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += (text.empty() ? "" : ",") + line;
    return text;
}

// What the record holds as this module sees it.
std::string Described(const TZephraExceptionRecord& record)
{
    char head[160];
    const TExceptionInfo* object = record.ExceptionObject;
    std::snprintf(head, sizeof head, "object=%p address=%p thread=%lu options=%p ", static_cast<const void*>(object),
                  record.ExceptionAddress, static_cast<unsigned long>(record.ThreadId),
                  static_cast<const void*>(record.Options));
    std::string text = head;
    text += "class=" + (object ? object->ClassName() : std::string("-"));
    text += " message=" + (object ? object->Message() : std::string("-"));
    text += std::string(" system=") + (object && object->IsSystem() ? "1" : "0");
    text += " text=" + std::string(record.ReportText ? record.ReportText : "-");
    text += " modules=" + std::string(record.ModulesList && record.ModulesList->Count() > 0 ? "1" : "0");
    if (record.CallStack) {
        text += " stack=" + std::to_string(record.CallStack->Count());
        if (record.CallStack->Count() > 0) {
            const TZephraStackEntry& first = (*record.CallStack)[0];
            text += " first=" + first.ProcedureName + ":" + std::to_string(first.Line);
            text += " module=" + std::string(first.Module ? first.Module->FileName : "-");
        }
    }
    return text;
}

} // namespace

extern "C" {

// Registers the module's handlers (or removes them with nullptr).
__declspec(dllexport) void __stdcall EvInstall(TTell tell)
{
    Tell = tell;
    if (Handlers)
        UnregisterEventHandlers(Handlers);
    Handlers = nullptr;
    if (!tell)
        return;
    TZephraEventHandlers handlers;
    handlers.OnExceptionNotify = [](const TZephraExceptionRecord& record, bool& handle) {
        Say("dll notify " + std::string(handle ? "1 " : "0 ") + Described(record));
        handle = !handle;
    };
    handlers.OnCustomDataRequest = [](const TZephraExceptionRecord&, std::string& text) { text += "+dll"; };
    handlers.OnExceptionActionNotify = [](const TZephraExceptionRecord&, int action, bool& flag) {
        Say("dll action " + std::to_string(action) + (flag ? " 1" : " 0"));
        flag = false;
    };
    handlers.OnExceptionErrorNotify = [](const TZephraExceptionRecord&, int action, bool& retry) {
        Say("dll error " + std::to_string(action) + (retry ? " 1" : " 0"));
        retry = true;
    };
    handlers.OnAttachedFilesRequest = [](const TZephraExceptionRecord&, std::vector<std::string>& files) {
        Say("dll files " + Joined(files));
        files.push_back("dll.txt");
    };
    handlers.OnCustomFieldsRequest = [](const TZephraExceptionRecord&, std::vector<std::string>& names,
                                        std::vector<std::string>& values) {
        Say("dll fields " + Joined(names) + "=" + Joined(values));
        names.push_back("DllName");
    };
    handlers.OnPasswordRequest = [](const TZephraExceptionRecord& record, std::string& phrase) {
        Say("dll phrase " + phrase + (record.ExceptionAddress ? " record" : " none"));
        phrase = "open sesame";
    };
    Handlers = RegisterEventHandlers(std::move(handlers));
}

// An address inside this module's code.
__declspec(dllexport) const void* __stdcall EvAddress()
{
    return reinterpret_cast<const void*>(&EvInstall);
}

} // extern "C"
