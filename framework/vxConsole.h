// The console application base class: the switch table, the command-line parser that turns each
// word into a handler call through that table, the run sequence, and the help and version
// texts. Knows nothing of files or audio.
#pragma once

#include "vxSystem.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vx {

class TvxConsoleApplication;

enum class TvxSwitchKind : uint8_t { skPlain = 0, skValue = 2 };

using TvxSwitchEvent = std::function<void(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong)>;
using TvxSwitchValueEvent = std::function<void(TvxConsoleApplication& Sender, const std::string& Name,
                                               bool IsLong, const std::string& Value)>;

// One row of the switch table. Only the handler that belongs to Kind is normally set; the
// event operations call the one their signature names.
struct TvxApplicationSwitchData {
    std::string ShortName;
    std::string LongName;
    std::string HelpText;
    std::string DefaultValue;
    bool ShortUsesDefault = false;
    TvxSwitchKind Kind = TvxSwitchKind::skPlain;
    TvxSwitchEvent PlainHandler;
    TvxSwitchValueEvent ValueHandler;
};

class TvxConsoleApplication {
public:
    TvxConsoleApplication();
    virtual ~TvxConsoleApplication() = default;
    TvxConsoleApplication(const TvxConsoleApplication&) = delete;
    TvxConsoleApplication& operator=(const TvxConsoleApplication&) = delete;

    // Virtual operations, in their fixed order.
    [[noreturn]] virtual void UsageError(const std::string& Msg);
    virtual void HandleInvalid(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong,
                               const std::string& Value);
    virtual void HandleUnrecognized(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong,
                                    const std::string& Value);
    virtual void HandleMissing(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong,
                               const std::string& Value);
    virtual void HandleTextOnly(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong,
                                const std::string& Value);
    virtual void HandleBlank(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong);
    virtual void HandleNoArgs(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong);
    virtual void HandleDoneArgs(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong);
    virtual void HandleHelp(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong);
    virtual void HandleVersion(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong);
    virtual void Initialize();
    virtual void Run();
    virtual int Execute();
    // Hook called by the version text just before its copyright line.
    virtual void VersionExtra();

    // Registration: each appends one row at the end of the table.
    void AddSwitch(const std::string& ShortName, const std::string& LongName, TvxSwitchEvent Handler,
                   const std::string& HelpText);
    void AddValueSwitch(const std::string& ShortName, const std::string& LongName,
                        TvxSwitchValueEvent Handler, bool ShortUsesDefault,
                        const std::string& DefaultValue, const std::string& HelpText);
    void AddBlankLine(const std::string& Name);
    void AddSwitchData(const TvxApplicationSwitchData& Data);

    // First row whose long (IsLong) or short name equals Name exactly.
    bool FindSwitch(bool IsLong, const std::string& Name, TvxApplicationSwitchData& Data) const;

    // Parser events, dispatched through the internal rows; a missing row is an internal error.
    void DoInvalid(const std::string& Text);
    void DoUnrecognized(const std::string& Text);
    void DoMissing(const std::string& Text);
    void DoTextOnly(const std::string& Text);
    void DoNoArgs();
    void DoDoneArgs();

    // Writes ExePath + ": internal error" to standard error and exits with 1.
    [[noreturn]] void InternalError();
    // Parses the split argument list word by word (see the parser rules in vxConsole.cpp).
    void ParseCommandLine();

    // End the process now with the current exit status, or with Code.
    [[noreturn]] void Terminate();
    [[noreturn]] void TerminateWith(int Code);

    // The help and version texts, as written by HandleHelp and HandleVersion.
    std::string HelpText() const;
    std::string VersionText() const;

    const std::vector<TvxApplicationSwitchData>& Switches() const { return FSwitches; }

    // Binders that reach the most derived override of a handler.
    template <class T>
    TvxSwitchEvent Bind(void (T::*Method)(TvxConsoleApplication&, const std::string&, bool)) {
        T* Self = static_cast<T*>(this);
        return [Self, Method](TvxConsoleApplication& S, const std::string& N, bool L) { (Self->*Method)(S, N, L); };
    }
    template <class T>
    TvxSwitchValueEvent Bind(void (T::*Method)(TvxConsoleApplication&, const std::string&, bool,
                                               const std::string&)) {
        T* Self = static_cast<T*>(this);
        return [Self, Method](TvxConsoleApplication& S, const std::string& N, bool L, const std::string& V) {
            (Self->*Method)(S, N, L, V);
        };
    }

private:
    std::string VersionHead() const;
    std::string VersionTail() const;
    void CallPlain(const char* Entry);
    void CallValue(const char* Entry, const std::string& Text);

    std::vector<TvxApplicationSwitchData> FSwitches;
    int FExitCode = 0;
};

} // namespace vx
