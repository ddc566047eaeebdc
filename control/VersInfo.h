// TVersionInfoResource: reads the version resource of a module (the control
// library itself unless told otherwise) and shows its values: the file
// version, copyright, product name and description in up to four labels
// (static controls), and a table of every value in a report-style list view.
//
// TFixedFileVersionInfo views the fixed part of the resource, and
// TVersionNumberInformation is a four-part version number with its text.
//
// A file without a version resource, a missing file or a damaged resource
// gives empty texts; nothing outside the copied resource is read. Labels and
// the list view are watched: when one is destroyed the component forgets it.
// Use a component on the thread that owns its labels and list view.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/VersionBlock.h"

namespace qov {

class TVersionInfoResource;

class TVersionNumberInformation {
public:
    bool Valid() const { return FValid; }
    uint32_t MostSignificant() const { return FMS; }
    uint32_t LeastSignificant() const { return FLS; }
    // The four parts: high and low word of the first double word, then of the second.
    uint16_t Part(int index) const;
    // "%d.%d.%d.%d" of the parts when valid, else empty.
    std::string Text() const;

    void Assign(uint32_t ms, uint32_t ls);
    void Clear();

private:
    bool FValid = false;
    uint32_t FMS = 0;
    uint32_t FLS = 0;
};

// File flags as build flags; bit i of TBuildFlags is flag i.
enum TBuildFlag { bfDebug, bfPreRelease, bfPatched, bfPrivate, bfInfoInferred, bfSpecial };
using TBuildFlags = uint8_t;

class TFixedFileVersionInfo {
public:
    explicit TFixedFileVersionInfo(const TVersionInfoResource& owner) : FOwner(owner) {}
    // Each read-out is 0 when the file has no fixed part.
    bool Present() const { return FPresent; }
    uint32_t FileVersionMS() const { return Field(8); }
    uint32_t FileVersionLS() const { return Field(12); }
    uint32_t ProductVersionMS() const { return Field(16); }
    uint32_t ProductVersionLS() const { return Field(20); }
    uint32_t FileFlags() const { return Field(28); }
    TBuildFlags BuildFlags() const { return static_cast<TBuildFlags>(FileFlags() & 0x3F); }

private:
    friend class TVersionInfoResource;
    uint32_t Field(size_t offset) const;

    const TVersionInfoResource& FOwner;
    bool FPresent = false;
    size_t FOffset = 0; // of the fixed part in the owner's copy
};

// Values the list view may show; bit i of TVersionDetails is detail i, and
// detail i is the value of key index i.
enum TVersionDetail {
    pdCompanyName, pdFileDescription, pdFileVersion, pdInternalName, pdLegalCopyright, pdLegalTrademarks,
    pdOriginalFilename, pdProductName, pdProductVersion, pdComments, pdBuildFlags
};
using TVersionDetails = uint32_t;
constexpr TVersionDetails kAllVersionDetails = (1u << kVersionKeyCount) - 1;
constexpr TVersionDetails VersionDetail(TVersionDetail d) { return 1u << d; }

class TVersionInfoResource {
public:
    // Reads the module that holds this code (the program's executable when
    // that is where the code lies).
    TVersionInfoResource();
    ~TVersionInfoResource();
    TVersionInfoResource(const TVersionInfoResource&) = delete;
    TVersionInfoResource& operator=(const TVersionInfoResource&) = delete;

    // The file to read; empty: the module that holds this code, or the
    // program's executable with ForceEXE. Setting either re-reads.
    const std::string& Filename() const { return FFilename; }
    void SetFilename(const std::string& filename);
    bool ForceEXE() const { return FForceEXE; }
    void SetForceEXE(bool force);

    // Reads the resource again and updates the display.
    void ReRead();

    // The string value of key index 0..10 in the translation in use; empty
    // outside that range or when the resource lacks it.
    std::string Value(int index) const;
    std::string CompanyName() const { return Value(pdCompanyName); }
    std::string FileDescription() const { return Value(pdFileDescription); }
    std::string InternalName() const { return Value(pdInternalName); }
    std::string LegalCopyright() const { return Value(pdLegalCopyright); }
    std::string LegalTrademarks() const { return Value(pdLegalTrademarks); }
    std::string OriginalFilename() const { return Value(pdOriginalFilename); }
    std::string ProductName() const { return Value(pdProductName); }
    std::string Comments() const { return Value(pdComments); }

    // The set build flags by name, ascending by bit: "Debug, Patched".
    std::string BuildFlagsText() const;
    const TVersionNumberInformation& FileVersion() const { return FFileVersion; }
    const TVersionNumberInformation& ProductVersion() const { return FProductVersion; }
    const TFixedFileVersionInfo& FixedInfo() const { return FFixedInfo; }
    // "080403A8": language and code page of each translation.
    const std::vector<std::string>& Translations() const { return FTranslations; }

    // Labels that receive the file version text, LegalCopyright, ProductName
    // and FileDescription. Setting one takes its value out of ShowResource.
    HWND VersionLabel() const { return FLabels[0]; }
    HWND CopyrightLabel() const { return FLabels[1]; }
    HWND ProductLabel() const { return FLabels[2]; }
    HWND DescriptionLabel() const { return FLabels[3]; }
    void SetVersionLabel(HWND label) { SetLabel(0, label); }
    void SetCopyrightLabel(HWND label) { SetLabel(1, label); }
    void SetProductLabel(HWND label) { SetLabel(2, label); }
    void SetDescriptionLabel(HWND label) { SetLabel(3, label); }

    HWND VersionListView() const { return FListView; }
    void SetVersionListView(HWND listView);
    TVersionDetails ShowResource() const { return FShowResource; }
    void SetShowResource(TVersionDetails show);

    // Writes the labels and fills the list view.
    void UpdateDisplay();

private:
    friend class TFixedFileVersionInfo;
    friend struct TWindowWatch;

    std::string FileToRead() const;
    bool Query(const std::string& path, TVersionValue& value) const;
    void SetLabel(int slot, HWND label);
    void FillListView();
    void WindowDestroyed(HWND window);

    std::string FFilename;
    bool FForceEXE = false;
    std::vector<uint8_t> FData; // the copy of the whole resource
    std::vector<std::string> FTranslations;
    size_t FTranslationIndex = 0;
    TVersionNumberInformation FFileVersion;
    TVersionNumberInformation FProductVersion;
    TFixedFileVersionInfo FFixedInfo{*this};
    HWND FLabels[4] = {};
    HWND FListView = nullptr;
    TVersionDetails FShowResource = kAllVersionDetails;
};

} // namespace qov
