// The application base of the wave tools: file words of the command line and their expansion,
// the per-file loop and its status protocol, output names, the "verbose" switch and the
// conversion helpers for switch values. Knows files and names, but no gain.
#pragma once

#include "WaveFiles.h"
#include "vxConsole.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vx {

// The tool family's start-up: package, bug-report address, author, year and company.
void TonebenchStartup();

class TTonebenchApp;

// What a tool tells of itself in its help and version texts (its version is the project's).
struct TToolText {
    std::string Name, Usage, Description;
    bool NegativeValues = false; // "-16" after a value switch is its value, not switches
};

// The program entry of a wave tool: the locale for the sort of names only, writes past the
// file-size limit failing like any other, the start-ups, then the application Make gives,
// initialised and run. A failure that escapes is one line on standard error and status 1.
[[noreturn]] void RunTool(int argc, char** argv, const TToolText& Text, const std::function<std::unique_ptr<TTonebenchApp>()>& Make);

class TTonebenchApp : public TvxConsoleApplication {
public:
    TTonebenchApp();

    void HandleTextOnly(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong,
                        const std::string& Value) override;
    void HandleNoArgs(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong) override;
    void HandleDoneArgs(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong) override;
    // The file loop: RunFile for each file; 0 counts it, -1 skips it, anything else ends the
    // run with that status.
    int Execute() override;
    // One file of the loop: ProcessFile's status, or -1 when it raised, after FileFailed.
    int RunFile(const std::string& Path);

    virtual void HandleVerbose(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong);
    virtual void BeginFiles();
    // Processes one file, named relative to the working directory: 0 when it wrote an output
    // (whose number is then taken), -1 when it passed the file over, another status to end the
    // run. Raises why the file cannot be processed (EvxError: the reason, maybe a hint).
    virtual int ProcessFile(const std::string& Path);
    // Tells of a file that could not be processed: the family's failure line,
    // "FileName: NAME is not a wave file.", on standard output.
    virtual void FileFailed(const std::string& Path, const EvxError& Why);
    virtual void EndFiles(int Status);

    // Replaces the file arguments of Files as typed by their sorted matches; a word that
    // matches nothing is dropped, or kept as it is where KeepUnmatched is set (so that its
    // failure is told).
    void ExpandFileList();
    void SetKeepUnmatched(bool Value) { FKeepUnmatched = Value; }

    // Conversion helpers for value handlers: true when Text converts and lies within
    // [Min, Max]; otherwise DoInvalid(Text), which ends the process with status 1.
    bool ParseIntArg(const std::string& Text, int64_t& Value, int64_t Min, int64_t Max);
    bool ParseFloatArg(const std::string& Text, double& Value, double Min, double Max);
    bool ParseTimeArg(const std::string& Text, double& Value, double Min, double Max);

    std::vector<std::string>& Files() { return FFiles; }
    bool Verbose() const { return FVerbose; }
    void SetVerbose(bool Value) { FVerbose = Value; }
    // Bytes of the I/O windows of the wave files a tool opens (see wave::TWaveIO).
    size_t IOWindow() const { return FIOWindow; }
    void SetIOWindow(size_t Bytes) { FIOWindow = Bytes; }
    int64_t FileIndex() const { return FFileIndex; }
    std::string FileName() const;
    // Output base name of the current file: "waveout-" and FileIndex zero-padded to
    // (entries of Files) div 10 + 1 digits.
    std::string OutName() const;

private:
    template <class T>
    bool AcceptArg(const std::string& Text, bool Converted, T Number, T& Value, T Min, T Max);

    std::vector<std::string> FFiles;
    bool FVerbose = false;
    bool FKeepUnmatched = false;
    size_t FIOWindow = wave::WaveIOWindow;
    int64_t FFileIndex = 0;
};

// The syntax checks and conversions behind the helpers; false when Text does not convert.
bool TextToInt(const std::string& Text, int64_t& Value);
bool TextToFloat(const std::string& Text, double& Value);

} // namespace vx
