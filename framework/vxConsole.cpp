#include "vxConsole.h"

#include <algorithm>

namespace vx {

namespace {

const char* const BlankPrefix = "!Blank.";
const char* const CommentPrefix = "!Comment.";

bool StartsWith(const std::string& S, const std::string& Prefix) { return S.rfind(Prefix, 0) == 0; }

} // namespace

TvxConsoleApplication::TvxConsoleApplication() {
    using T = TvxConsoleApplication;
    auto AddInternalValue = [this](const char* Name, TvxSwitchValueEvent Handler) {
        TvxApplicationSwitchData Row;
        Row.ShortName = Name;
        Row.HelpText = "internal";
        Row.Kind = TvxSwitchKind::skValue;
        Row.ValueHandler = std::move(Handler);
        AddSwitchData(Row);
    };
    AddInternalValue("!Invalid", Bind(&T::HandleInvalid));
    AddInternalValue("!Unrecognized", Bind(&T::HandleUnrecognized));
    AddInternalValue("!Missing", Bind(&T::HandleMissing));
    AddInternalValue("!TextOnly", Bind(&T::HandleTextOnly));
    AddSwitch("!NoArgs", "", Bind(&T::HandleNoArgs), "internal");
    AddSwitch("!DoneArgs", "", Bind(&T::HandleDoneArgs), "internal");
    AddSwitch("", "help", Bind(&T::HandleHelp), "display this help and exit");
    AddSwitch("", "version", Bind(&T::HandleVersion), "output version information and exit");
}

void TvxConsoleApplication::UsageError(const std::string& Msg) {
    WriteErr(ExePath() + Msg + "\n");
    WriteErr("Try `" + ExtractFileName(ExePath()) + " --help' for more information.\n");
    TerminateWith(1);
}

void TvxConsoleApplication::HandleInvalid(TvxConsoleApplication&, const std::string&, bool,
                                          const std::string& Value) {
    UsageError(": invalid argument usage " + Value);
}

void TvxConsoleApplication::HandleUnrecognized(TvxConsoleApplication&, const std::string&, bool,
                                               const std::string& Value) {
    UsageError(": unrecognized option " + Value);
}

void TvxConsoleApplication::HandleMissing(TvxConsoleApplication&, const std::string&, bool,
                                          const std::string& Value) {
    UsageError(": missing argument " + Value);
}

void TvxConsoleApplication::HandleTextOnly(TvxConsoleApplication&, const std::string&, bool,
                                           const std::string& Value) {
    DoUnrecognized(Value);
}

void TvxConsoleApplication::HandleBlank(TvxConsoleApplication&, const std::string&, bool) {}
void TvxConsoleApplication::HandleNoArgs(TvxConsoleApplication&, const std::string&, bool) {}
void TvxConsoleApplication::HandleDoneArgs(TvxConsoleApplication&, const std::string&, bool) {}

void TvxConsoleApplication::HandleHelp(TvxConsoleApplication&, const std::string&, bool) {
    WriteOut(HelpText());
    Terminate();
}

void TvxConsoleApplication::HandleVersion(TvxConsoleApplication&, const std::string&, bool) {
    WriteOut(VersionHead());
    VersionExtra();
    WriteOut(VersionTail());
    Terminate();
}

void TvxConsoleApplication::Initialize() {}

void TvxConsoleApplication::Run() {
    ParseCommandLine();
    int Status = Execute();
    if (Status != 0) TerminateWith(Status);
}

int TvxConsoleApplication::Execute() { return 0; }

void TvxConsoleApplication::VersionExtra() {}

void TvxConsoleApplication::AddSwitch(const std::string& ShortName, const std::string& LongName,
                                      TvxSwitchEvent Handler, const std::string& HelpText) {
    TvxApplicationSwitchData Row;
    Row.ShortName = ShortName;
    Row.LongName = LongName;
    Row.HelpText = HelpText;
    Row.PlainHandler = std::move(Handler);
    FSwitches.push_back(std::move(Row));
}

void TvxConsoleApplication::AddValueSwitch(const std::string& ShortName, const std::string& LongName,
                                           TvxSwitchValueEvent Handler, bool ShortUsesDefault,
                                           const std::string& DefaultValue, const std::string& HelpText) {
    AddSwitch(ShortName, LongName, nullptr, HelpText);
    TvxApplicationSwitchData& Row = FSwitches.back();
    Row.DefaultValue = DefaultValue;
    Row.ShortUsesDefault = ShortUsesDefault;
    Row.Kind = TvxSwitchKind::skValue;
    Row.ValueHandler = std::move(Handler);
}

void TvxConsoleApplication::AddBlankLine(const std::string& Name) {
    AddSwitch(BlankPrefix + Name, BlankPrefix + Name, Bind(&TvxConsoleApplication::HandleBlank),
              "Blank Line " + Name);
}

void TvxConsoleApplication::AddSwitchData(const TvxApplicationSwitchData& Data) { FSwitches.push_back(Data); }

bool TvxConsoleApplication::FindSwitch(bool IsLong, const std::string& Name,
                                       TvxApplicationSwitchData& Data) const {
    auto It = std::find_if(FSwitches.begin(), FSwitches.end(), [&](const TvxApplicationSwitchData& Row) {
        return (IsLong ? Row.LongName : Row.ShortName) == Name;
    });
    if (It == FSwitches.end()) return false;
    Data = *It;
    return true;
}

void TvxConsoleApplication::CallPlain(const char* Entry) {
    TvxApplicationSwitchData Row;
    if (!FindSwitch(false, Entry, Row) || !Row.PlainHandler) InternalError();
    Row.PlainHandler(*this, "", false);
}

void TvxConsoleApplication::CallValue(const char* Entry, const std::string& Text) {
    TvxApplicationSwitchData Row;
    if (!FindSwitch(false, Entry, Row) || !Row.ValueHandler) InternalError();
    Row.ValueHandler(*this, "", false, Text);
}

void TvxConsoleApplication::DoInvalid(const std::string& Text) { CallValue("!Invalid", Text); }
void TvxConsoleApplication::DoUnrecognized(const std::string& Text) { CallValue("!Unrecognized", Text); }
void TvxConsoleApplication::DoMissing(const std::string& Text) { CallValue("!Missing", Text); }
void TvxConsoleApplication::DoTextOnly(const std::string& Text) { CallValue("!TextOnly", Text); }
void TvxConsoleApplication::DoNoArgs() { CallPlain("!NoArgs"); }
void TvxConsoleApplication::DoDoneArgs() { CallPlain("!DoneArgs"); }

void TvxConsoleApplication::InternalError() {
    WriteErr(ExePath() + ": internal error\n");
    TerminateWith(1);
}

// Each word is one of: a plain word (no leading '-', or "-" alone), a long switch "--name" or a
// short switch "-c", either with an optional trailing sign '+' or '-'. A value switch takes the
// next word whatever it looks like; there is no "=" form and no "--" end marker.
void TvxConsoleApplication::ParseCommandLine() {
    if (ArgCount() == 0) DoNoArgs();
    int64_t I = 1;
    while (I <= ArgCount()) {
        std::string Word = ArgStr(I);
        std::string Prefix;
        std::string Sign;
        if (!Word.empty() && (Word.back() == '-' || Word.back() == '+')) {
            Sign = Word.substr(Word.size() - 1);
            Word.pop_back();
        }
        if (Word.empty() || Word[0] != '-') {
            DoTextOnly(Word + Sign);
        } else {
            bool IsLong = StartsWith(Word, "--");
            Word.erase(0, IsLong ? 2 : 1);
            Prefix = IsLong ? "--" : "-";
            TvxApplicationSwitchData Row;
            if (!FindSwitch(IsLong, Word, Row)) {
                DoUnrecognized(Prefix + Word + Sign);
            } else {
                switch (Row.Kind) {
                case TvxSwitchKind::skPlain:
                    if (!Sign.empty())
                        DoUnrecognized(Prefix + Word + Sign);
                    else if (Row.PlainHandler)
                        Row.PlainHandler(*this, Word, IsLong);
                    break;
                case TvxSwitchKind::skValue:
                    if (!Sign.empty()) {
                        DoUnrecognized(Prefix + Word + Sign);
                    } else if (!IsLong && Row.ShortUsesDefault) {
                        if (Row.ValueHandler) Row.ValueHandler(*this, Word, IsLong, Row.DefaultValue);
                    } else if (I == ArgCount()) {
                        DoMissing(Prefix + Word);
                    } else {
                        ++I;
                        if (Row.ValueHandler) Row.ValueHandler(*this, Word, IsLong, ArgStr(I));
                    }
                    break;
                }
            }
        }
        ++I;
    }
    DoDoneArgs();
}

void TvxConsoleApplication::Terminate() { ProcessExit(FExitCode); }

void TvxConsoleApplication::TerminateWith(int Code) {
    FExitCode = Code;
    Terminate();
}

std::string TvxConsoleApplication::HelpText() const {
    const TProgramInfo& Info = ProgramInfo;
    std::string Text = "Usage: " + ExtractFileName(ExePath()) + " " + Info.Usage + "\n";
    if (!Info.Description.empty()) Text += Info.Description + "\n";
    size_t W = 0;
    for (const auto& Row : FSwitches) W = std::max(W, Row.LongName.size());
    bool FirstSwitchRow = true;
    for (const auto& Row : FSwitches) {
        if (Row.ShortName.size() >= 7 && StartsWith(Row.ShortName, BlankPrefix)) {
            Text += "\n";
        } else if (Row.ShortName.size() >= 9 && StartsWith(Row.ShortName, CommentPrefix)) {
            Text += Row.HelpText + "\n";
        } else if (Row.ShortName.size() <= 1) {
            if (FirstSwitchRow) Text += "\n";
            FirstSwitchRow = false;
            Text += "  ";
            Text += Row.ShortName.empty() ? "  " : "-" + Row.ShortName;
            std::string Long;
            if (!Row.LongName.empty()) Long = (Row.ShortName.empty() ? "  --" : ", --") + Row.LongName;
            if (W > 0) Long.resize(W + 6, ' '); // never shorter: a long name is at most W + 4
            Text += Long + Row.HelpText + "\n";
        }
    }
    if (!Info.Epilogue.empty()) Text += "\n" + Info.Epilogue + "\n";
    if (!Info.EMail.empty()) Text += "\nReport bugs to <" + Info.EMail + ">\n";
    return Text;
}

std::string TvxConsoleApplication::VersionHead() const {
    const TProgramInfo& Info = ProgramInfo;
    std::string F = ExtractFileName(ExePath());
    std::string Text = F;
    if (F != Info.Name) Text += " \"" + Info.Name + "\"";
    if (!Info.Package.empty()) Text += " (" + Info.Package + ")";
    if (!Info.Version.empty()) Text += " " + Info.Version;
    Text += "\n";
    if (!Info.Author.empty()) Text += "Written by " + Info.Author + ".\n";
    return Text + "\n";
}

std::string TvxConsoleApplication::VersionTail() const {
    const TProgramInfo& Info = ProgramInfo;
    return "Copyright (C) " + Info.Year + " " + Info.Company + "\n" + Info.Rights + "\n";
}

std::string TvxConsoleApplication::VersionText() const { return VersionHead() + VersionTail(); }

} // namespace vx
