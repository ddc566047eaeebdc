#include "EReportBuild.h"

#include <typeinfo>

#include "ECore.h"
#include "EEvents.h"
#include "EManager.h"
#include "EModules.h"
#include "EReportSteps.h"
#include "ESafeRead.h"
#include "EStack.h"
#include "ESystemInfo.h"
#include "EThreads.h"
#include "ETypeInfo.h"

namespace qov::exceptions {

namespace {

bool Readable(const void* address, size_t length)
{
    return IsReadableRange(address, length);
}

bool WebServerMode()
{
    const TReportSteps& steps = ReportSteps();
    return steps.IsWebServerProgram && steps.IsWebServerProgram();
}

TReportTexts TextsOf(const TReportState& state)
{
    TReportTexts texts;
    texts.LeadText = state.LeadText;
    texts.GeneralSectionText = state.GeneralSectionText;
    texts.CpuSectionText = state.CpuSectionText;
    texts.ReportText = state.ReportText;
    texts.SendText = state.SendText;
    texts.KeyAddress = state.KeyAddress;
    texts.KeyModule = state.KeyModule;
    texts.KeyType = state.KeyType;
    texts.KeyMessage = state.KeyMessage;
    return texts;
}

void TakeTexts(TReportState& state, TReportTexts&& texts)
{
    state.LeadText = std::move(texts.LeadText);
    state.GeneralSectionText = std::move(texts.GeneralSectionText);
    state.CpuSectionText = std::move(texts.CpuSectionText);
    state.ReportText = std::move(texts.ReportText);
    state.SendText = std::move(texts.SendText);
    state.KeyAddress = std::move(texts.KeyAddress);
    state.KeyModule = std::move(texts.KeyModule);
    state.KeyType = std::move(texts.KeyType);
    state.KeyMessage = std::move(texts.KeyMessage);
    // Console output puts the lead line in front of the report.
    state.PlainText = state.LeadText + state.ReportText;
}

} // namespace

std::vector<TReportStackEntry> ReportStackEntries(const TZephraStackList& list)
{
    std::vector<TReportStackEntry> entries;
    entries.reserve(list.Count());
    for (size_t i = 0; i < list.Count(); ++i) {
        const TZephraStackEntry& e = list[i];
        TReportStackEntry entry;
        entry.Kind = e.Kind;
        entry.Tag = e.Flag;
        entry.ThreadId = e.ThreadId;
        entry.Address = e.Address;
        if (e.Module)
            entry.ModuleFile = e.Module->FileName;
        entry.UnitName = e.UnitName;
        entry.ClassName = e.ClassName;
        entry.ProcedureName = e.ProcedureName;
        entry.Line = e.Line;
        entry.LineOffset = e.LineOffset;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string ThreadObjectClassName(const void* threadObject)
{
    // A polymorphic object starts with its table of virtual functions, whose
    // word in front of the first slot is the object's type description.
    if (!threadObject || !Readable(threadObject, sizeof(void*)))
        return std::string();
    const auto* table = *static_cast<const void* const* const*>(threadObject);
    if (!table || !Readable(table - 1, sizeof(void*)))
        return std::string();
    const auto* type = static_cast<const std::type_info*>(table[-1]);
    if (!IsValidTypeInfo(type, &Readable))
        return std::string();
    return TypeDisplayName(*type);
}

std::vector<TReportThread> ReportThreads(TZephraThreadsList& threads)
{
    std::vector<TReportThread> result;
    result.reserve(threads.Count());
    for (size_t i = 0; i < threads.Count(); ++i) {
        TZephraThreadRecord& record = threads.Item(i);
        // A priority not read yet is read now and kept.
        if (record.Reserved == ThreadRecordReserved && record.Handle) {
            const int priority = GetThreadPriority(record.Handle);
            if (priority != THREAD_PRIORITY_ERROR_RETURN)
                record.Reserved = static_cast<uint32_t>(priority);
        }
        TReportThread thread;
        thread.ThreadId = record.ThreadId;
        thread.Priority = record.Reserved == ThreadRecordReserved
                              ? std::string("??")
                              : std::to_string(static_cast<int32_t>(record.Reserved));
        thread.ClassName = ThreadObjectClassName(record.ThreadObject);
        result.push_back(std::move(thread));
    }
    return result;
}

std::vector<TReportModule> ReportModules(const TZephraModulesList& modules)
{
    std::vector<TReportModule> result;
    result.reserve(modules.Count());
    for (size_t i = 0; i < modules.Count(); ++i) {
        const TZephraModuleRef& record = modules[i];
        if (!record)
            continue;
        TReportModule module;
        module.Handle = reinterpret_cast<uintptr_t>(record->Handle);
        module.FileName = record->FileName;
        module.Description = record->Description;
        module.Version = record->VersionText;
        module.Size = record->FileSize;
        module.Modified = record->FileDate;
        result.push_back(std::move(module));
    }
    return result;
}

TCpuData ReportCpuData(const CONTEXT* context, uintptr_t stackPosition, const void* address)
{
    TCpuData cpu;
#ifdef _WIN64
    cpu.Layout = &RegistersX64();
    if (context)
        cpu.Registers = {context->Rax, context->Rdi, context->Rbx, context->Rsi, context->Rcx, context->Rsp,
                         context->Rdx, context->Rip, context->Rbp, context->R8,  context->R9,  context->R10,
                         context->R11, context->R12, context->R13, context->R14, context->R15};
#else
    cpu.Layout = &RegistersX86();
    if (context)
        cpu.Registers = {context->Eax, context->Edi, context->Ebx, context->Esi,
                         context->Ecx, context->Esp, context->Edx, context->Eip};
#endif
    const size_t stackBytes = 16 * sizeof(void*);
    const auto* stack = reinterpret_cast<const void*>(stackPosition);
    if (stackPosition && address && Readable(stack, stackBytes) && Readable(address, 256)) {
        cpu.Stack.resize(stackBytes);
        cpu.Memory.resize(256);
        cpu.HasDump = SafeCopy(cpu.Stack.data(), stack, stackBytes) && SafeCopy(cpu.Memory.data(), address, 256);
        cpu.StackPosition = stackPosition;
        cpu.MemoryAddress = reinterpret_cast<uintptr_t>(address);
    }
    return cpu;
}

void BuildStateReportText(TReportState& state)
{
    if (!state.Options)
        return;
    TReportInput input;
    input.Options = state.Options;
    input.AddressDigits = AddressDigits;
    input.Values = GeneralSectionValues(state);
    input.HideActiveControls = WebServerMode() || ConsoleProgram();
    std::vector<TReportStackEntry> stack;
    if (state.CallStack) {
        stack = ReportStackEntries(*state.CallStack);
        input.Stack = &stack;
    }
    if (state.Threads)
        input.Threads = ReportThreads(*state.Threads);
    input.MainThreadId = LibraryState().MainThreadId;
    if (state.Options->LogFlags() & 0x10)
        input.Modules = ReportModules(LibraryModules());
    input.Cpu = ReportCpuData(state.Block.Context, state.Block.StackPosition, state.Address);
    input.Progress = [](uint32_t step) { SetSectionCode(step); };
    TReportTexts texts;
    BuildReportText(input, texts);
    TakeTexts(state, std::move(texts));
}

void InsertStateReportSection(TReportState& state, int sectionBefore, const std::string& title,
                              const std::string& value)
{
    TReportTexts texts = TextsOf(state);
    InsertReportSection(texts, sectionBefore, title, value);
    TakeTexts(state, std::move(texts));
    // The handlers' copy of the report points at the new text.
    TZephraExceptionRecord& record = CurrentExceptionRecord();
    if (record.ReportText)
        record.ReportText = state.ReportText.c_str();
}

void AddCustomDataSection(TReportState& state)
{
    if (state.Options)
        InsertStateReportSection(state, 6, state.Options->GetCustomText(13), state.CustomData);
}

THtmlOutput& HtmlOutput()
{
    static THtmlOutput output;
    return output;
}

bool WriteHtmlReport(TReportState& state, const std::string& text)
{
    const THtmlOutput& output = HtmlOutput();
    if (!WebServerMode() || !output.MakePage || !output.WritePage)
        return true;
    return output.WritePage(AppendOkButton(output.MakePage(state.LeadText + text)));
}

void EReportBuildInit()
{
    TReportSteps& steps = ReportSteps();
    steps.BuildReportText = BuildStateReportText;
    steps.AddCustomData = AddCustomDataSection;
    steps.WriteHtmlPage = [](TReportState& state) { return WriteHtmlReport(state, state.ReportText); };
}

void EReportBuildDone()
{
    TReportSteps& steps = ReportSteps();
    steps.BuildReportText = nullptr;
    steps.AddCustomData = nullptr;
    steps.WriteHtmlPage = nullptr;
}

} // namespace qov::exceptions
