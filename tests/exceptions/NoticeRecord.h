// What an exception-notify handler of the end-to-end checks received, kept
// as plain values that outlive the report, and its text form, in which a
// child program hands it to the test through its output. Header only: the
// test program, its child and the child's library each carry their own
// instance of the exception library.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "EEvents.h"
#include "EManager.h"
#include "EModules.h"
#include "EReportSteps.h"
#include "EStack.h"

namespace qovtest {

struct TNoticeEntry {
    DWORD ThreadId = 0;
    int Flag = 0;
    int Kind = 0;
    uintptr_t Address = 0;
    std::string Module;  // the file name only
    std::string Unit, Procedure;
    int Line = 0;
};

struct TNotice {
    std::string ClassName, Message;
    DWORD ThreadId = 0;
    // The thread the handler ran on.
    DWORD HandlerThread = 0;
    uintptr_t Address = 0;
    // A Windows exception: the registers of its context and the address its
    // access violation touched.
    bool System = false;
    uintptr_t Ip = 0, Sp = 0, Cx = 0, Dx = 0, Touched = 0;
    // The raiser kind and the report's thread, when the program noted them
    // (-1 and 0: not noted).
    int RaiserKind = -1;
    DWORD ReportThread = 0;
    // The options the report runs with (none when a receiver of another
    // module got the record): the module they belong to and their mail title.
    bool HasOptions = false;
    std::string OptionsModule, OptionsTitle;
    std::vector<TNoticeEntry> Stack;

    // The entries of one thread, in the order of the call stack.
    std::vector<TNoticeEntry> Of(DWORD threadId) const
    {
        std::vector<TNoticeEntry> entries;
        for (const TNoticeEntry& entry : Stack)
            if (entry.ThreadId == threadId)
                entries.push_back(entry);
        return entries;
    }
};

// The raiser kind of the report in progress and the thread that works on it
// (a thread of the library): a step of the report, which runs before the
// notify event, notes them once NoteReports was called.
inline std::atomic<int>& NotedRaiserKind()
{
    static std::atomic<int> kind{-1};
    return kind;
}

inline std::atomic<DWORD>& NotedReportThread()
{
    static std::atomic<DWORD> thread{0};
    return thread;
}

inline void NoteReports()
{
    qov::exceptions::ReportSteps().TakeScreenshot = [](qov::exceptions::TReportState& report) {
        NotedRaiserKind() = report.RaiserKind;
        NotedReportThread() = GetCurrentThreadId();
    };
}

inline std::string FileNameOf(const std::string& path)
{
    return path.substr(path.find_last_of("\\/") + 1);
}

inline TNotice NoticeOf(const qov::exceptions::TZephraExceptionRecord& record)
{
    TNotice notice;
    if (const qov::exceptions::TExceptionInfo* object = record.ExceptionObject) {
        notice.ClassName = object->ClassName();
        notice.Message = object->Message();
        if (const CONTEXT* context = object->SystemContext()) {
            notice.System = true;
#ifdef _WIN64
            notice.Ip = context->Rip, notice.Sp = context->Rsp, notice.Cx = context->Rcx, notice.Dx = context->Rdx;
#else
            notice.Ip = context->Eip, notice.Sp = context->Esp, notice.Cx = context->Ecx, notice.Dx = context->Edx;
#endif
        }
        if (const EXCEPTION_RECORD* system = object->SystemRecord())
            if (system->NumberParameters >= 2)
                notice.Touched = system->ExceptionInformation[1];
    }
    notice.ThreadId = static_cast<DWORD>(record.ThreadId);
    notice.HandlerThread = GetCurrentThreadId();
    notice.Address = reinterpret_cast<uintptr_t>(record.ExceptionAddress);
    notice.RaiserKind = NotedRaiserKind().exchange(-1);
    notice.ReportThread = NotedReportThread().exchange(0);
    notice.HasOptions = record.Options != nullptr;
    if (record.Options) {
        notice.OptionsModule = FileNameOf(record.Options->ModuleFile());
        notice.OptionsTitle = record.Options->MailTitle();
    }
    if (const qov::exceptions::TZephraStackList* stack = record.CallStack)
        for (size_t i = 0; i < stack->Count(); ++i) {
            const qov::exceptions::TZephraStackEntry& given = (*stack)[i];
            TNoticeEntry entry;
            entry.ThreadId = given.ThreadId;
            entry.Flag = given.Flag;
            entry.Kind = given.Kind;
            entry.Address = given.Address;
            entry.Module = given.Module ? FileNameOf(given.Module->FileName) : std::string();
            entry.Unit = given.UnitName;
            entry.Procedure = given.ProcedureName;
            entry.Line = static_cast<int>(given.Line);
            notice.Stack.push_back(std::move(entry));
        }
    return notice;
}

// The text form: one line "<tag> notice" with the notice's values, one line
// "<tag> entry" per stack entry. Values are separated by tabs (no value
// holds one).
inline std::string NoticeText(const std::string& tag, const TNotice& n)
{
    std::ostringstream out;
    out << tag << " notice\t" << n.ClassName << '\t' << n.Message << '\t' << n.ThreadId << '\t' << n.HandlerThread
        << '\t' << n.Address << '\t' << n.System << '\t' << n.Ip << '\t' << n.Sp << '\t' << n.Cx << '\t' << n.Dx
        << '\t' << n.Touched << '\t' << n.RaiserKind << '\t' << n.ReportThread << '\t' << n.HasOptions << '\t'
        << n.OptionsModule << '\t' << n.OptionsTitle << '\n';
    for (const TNoticeEntry& e : n.Stack)
        out << tag << " entry\t" << e.ThreadId << '\t' << e.Flag << '\t' << e.Kind << '\t' << e.Address << '\t'
            << e.Module << '\t' << e.Unit << '\t' << e.Procedure << '\t' << e.Line << '\n';
    return out.str();
}

inline std::vector<std::string> TabFields(const std::string& line)
{
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');)
        fields.push_back(field);
    if (!line.empty() && line.back() == '\t')
        fields.emplace_back();
    return fields;
}

inline uintptr_t Number(const std::string& text)
{
    return static_cast<uintptr_t>(std::strtoull(text.c_str(), nullptr, 10));
}

// The notices of one tag in a program's output, in their order.
inline std::vector<TNotice> NoticesIn(const std::string& output, const std::string& tag)
{
    std::vector<TNotice> notices;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::vector<std::string> f = TabFields(line);
        if (f.size() >= 17 && f[0] == tag + " notice") {
            TNotice n;
            n.ClassName = f[1], n.Message = f[2];
            n.ThreadId = static_cast<DWORD>(Number(f[3])), n.HandlerThread = static_cast<DWORD>(Number(f[4]));
            n.Address = Number(f[5]), n.System = f[6] == "1";
            n.Ip = Number(f[7]), n.Sp = Number(f[8]), n.Cx = Number(f[9]), n.Dx = Number(f[10]);
            n.Touched = Number(f[11]), n.RaiserKind = std::atoi(f[12].c_str());
            n.ReportThread = static_cast<DWORD>(Number(f[13]));
            n.HasOptions = f[14] == "1", n.OptionsModule = f[15], n.OptionsTitle = f[16];
            notices.push_back(std::move(n));
        } else if (f.size() >= 9 && f[0] == tag + " entry" && !notices.empty()) {
            TNoticeEntry e;
            e.ThreadId = static_cast<DWORD>(Number(f[1]));
            e.Flag = std::atoi(f[2].c_str()), e.Kind = std::atoi(f[3].c_str());
            e.Address = Number(f[4]), e.Module = f[5], e.Unit = f[6], e.Procedure = f[7];
            e.Line = std::atoi(f[8].c_str());
            notices.back().Stack.push_back(std::move(e));
        }
    }
    return notices;
}

} // namespace qovtest
