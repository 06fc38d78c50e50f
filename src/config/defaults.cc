#include "config/defaults.h"

#include "config/config.h"

namespace netrove {
namespace {

struct TemplateLine {
  bool prefixed;
  const char* text;
};

const TemplateLine kTemplate[] = {
    {true, "DialPrefix p"},
    {false, ";ModemStatistics ati6"},
    {false, ";AddPhone 000-00-00"},
    {false, ";AddPhone 000w111-11-11"},
    {false, ";Phone 2:00-10:00|00-00-00"},
    {false, "; phone avail from 2:00 - 10:00"},
    {false, ";AddPhone 0.2:00-0.10:00,5.10:00-18:00|00-00-00"},
    {false, "; phone avail in sunday from 2:00-10:00 and friday from 10:00-18:00"},
    {false, "; check normal connection (IP started?), if not - redial"},
    {true, "CheckURL www.example.com"},
    {false, ";CheckURLTime 5"},
    {false, ";AutoHide No"},
    {false, "; gate functions"},
    {false, ";Proxy localhost"},
    {false, ";ProxyLog proxy.log"},
    {false, ";ProxyAuthString BASIC Tq3ZbnW8sE=="},
    {false, ";SMTP mail.example.com"},
    {false, ";POP3 mail.example.com"},
    {false, ";POP3Server Yes"},
    {false, ";MaxLenPOP3Mail 2147483647"},
    {false, ";POP3ServerPort 0"},
    {false, ";POP3ServerSleep 60"},
    {false, ";NNTP news.example.com"},
    {false, ";MapLink 80,www.example.com:80,show"},
    {false, ";MapLink 23,www.example.com:23,hide"},
    {false, ";MapULink 53,ns.example.net:53,hide"},
    {false, ";MapULink 4000,chat.example.org:4000,hide"},
    {false, ";FTP 21"},
    {false, ";SOCKS4 1080"},
    {false, ";AutoUpdate Yes"},
    {false, "HideProxy Yes"},
    {false, "HidePOP3 Yes"},
    {false, "HideSMTP Yes"},
    {false, "HideNNTP Yes"},
    {false, "HideFTP Yes"},
    {false, "HideRTSP Yes"},
    {false, "HideSOCKS4 Yes"},
    {false, "HidePort Yes"},
    {false, "RTSP No"},
    {false, "NetrovePort 880"},
    {false, "PortDog 139,1027,1019,1032,5000,5001,12345,12346,31337"},
    {false, ";SMTPMaxSize 32"},
    {false, ";CacheDNSday 5"},
    {false, ";NetStopTime 10"},
    {false, ";NetSleepTime 10"},
    {false, ";LogFile netrove.log"},
    {false, ";"},
    {false, "; wait 30 min and break connection"},
    {false, ";Break 30"},
    {false, "; wait for times 12:30 and break connection"},
    {false, ";Break 12:00"},
    {false, ";Break 16:35"},
    {false, "; if allready use then Break"},
    {true, "BreakIfFound Yes"},
    {true, "DialTime 60"},
    {false, "; wait 100 bad connections and exit"},
    {false, ";MaxRetry 100"},
    {true, "WaitTime 5"},
    {true, "SleepTime 60"},
    {true, "Redial Yes"},
    {false, "; if file exist - break current connection and exit"},
    {true, "BreakFlag break.flg"},
    {false, "; if file exist - break current connection and sleep, while found flag"},
    {true, "SleepFlag sleep.flg"},
    {true, "ConnectFlag connect.flg"},
    {true, "DialFlag dial.flg"},
    {false, ";"},
    {false, ";ProxySize 3%      ; proxy size = 3% from disk_size"},
    {false, ";ProxySize 100     ; proxy size = 100Mb"},
    {false, ";ProxyDiskFree 3%  ; need free 3% from disk_size free"},
    {false, ";ProxyDiskFree 20  ; need free 20Mb on disk free"},
    {false, ";"},
    {false, ";Execute macros (replace command), available for all EXEC... commands"},
    {false, "; $GetMail - receive POP3 mail"},
    {false, "; $CreateFlag flag_name - create file flag"},
    {false, "; $DeleteFlag flag_name - delete file flag"},
    {false, ";"},
    {false, "; error event's : eventID [numberID] [count] [exec/exit/reload] [string]"},
    {false, "; if not check in 3 try url - exit"},
    {false, ";EventID 0 3 exit"},
    {false, "; if not detect dialtone (code 80) for 10 try - play warning sound"},
    {false, ";EventID 80 10 exec c:\\sound\\warning.wav"},
    {false, ";"},
    {false, ";Execute CONNECT.WAV"},
    {false, ";ExecuteEnd ABORT.WAV"},
    {false, ";"},
    {false, ";ExecuteStart status.url"},
    {false, "; start execute program icq.exe"},
    {false, ";Execute c:\\icq\\icq.exe"},
    {false, "; at time 12:00 start execute program icq.exe"},
    {false, ";ExecuteAt 12:00 c:\\icq\\icq.exe"},
    {false, "; wait for 20 min and execute icq.exe"},
    {false, ";ExecuteAt 25 c:\\icq\\icq.exe"},
    {false, "; execute if found flag file"},
    {false, ";ExecuteFlag mail.flg $GetMail"},
    {false, "; execute if break connection"},
    {false, ";ExecuteEnd c:\\readmail.exe"},
    {false, "; time limits in minutes"},
    {false, ";DayTimeLimit 60"},
    {false, ";WeekTimeLimit 300"},
    {false, ";MonthTimeLimit 600"},
    {false, "; cost from 0:0 1.8 in minute"},
    {false, ";Cost 00:00 1.8"},
    {false, ";Cost 02:00 1.3"},
    {false, "; cost from 10:0 1.8 in hour"},
    {false, ";Cost 10:00 1.8H"},
    {false, ";CostPerMinute Yes"},
};
static_assert(std::size(kTemplate) == kDefaultTemplateLines);

}  // namespace

void WriteDefaultContent(std::string& out, const std::string& prefix, bool with_comments) {
  for (const TemplateLine& line : kTemplate) {
    std::string text = line.prefixed ? prefix + line.text : std::string(line.text);
    if (!with_comments && !text.empty() && text[0] == ';') continue;
    out += text;
    out += '\n';
  }
  out += '\n';
  out += ';';
  out.append(62, '-');
  out += "\n\n";
}

std::string DefaultFileText(bool for_add) {
  std::string text = "; this default value\neventID 91 3 exit\n";
  if (for_add) text += "eventID 630 3 exit\n";
  WriteDefaultContent(text, "", true);
  return text;
}

bool CreateDefaultConfigFileAt(Env& env, const std::string& path, bool for_add) {
  // Never over an existing file; a file that could not be written whole is
  // removed again.
  std::unique_ptr<WritableFile> file = env.OpenForWriting(path, Env::OpenMode::kCreateOnly, 0600);
  if (!file) return env.Stat(path).has_value();
  bool ok = file->Append(DefaultFileText(for_add)) && file->Sync();
  ok = file->Close() && ok;
  if (!ok) (void)env.RemoveFile(path);
  return ok;
}

}  // namespace netrove
