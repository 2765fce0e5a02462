#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "pelplat/shell.h"
#include "pelplat/utf16.h"
#include "pelplat/winerror.h"

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// Command-line splitting: blanks separate arguments outside double quotes;
// 2n backslashes before a quote give n backslashes and the quote toggles
// quoting, 2n+1 give n backslashes and a literal quote; other backslashes
// are literal.
std::vector<std::u16string> SplitArguments(const std::u16string& line) {
  std::vector<std::u16string> args;
  size_t i = 0;
  const size_t n = line.size();
  while (true) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n) break;
    std::u16string arg;
    bool quoted = false;
    while (i < n && (quoted || !IsBlank(line[i]))) {
      size_t backslashes = 0;
      while (i < n && line[i] == u'\\') {
        ++backslashes;
        ++i;
      }
      if (i < n && line[i] == u'"') {
        arg.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
          arg.push_back(u'"');
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        arg.append(backslashes, u'\\');
        if (i < n && (quoted || !IsBlank(line[i]))) arg.push_back(line[i++]);
      }
    }
    args.push_back(arg);
  }
  return args;
}

// One argument of an Exec line: quoted when it holds a reserved character,
// with the four characters that stay special inside quotes escaped.
std::string QuoteExecArgument(const std::string& arg) {
  static const char kReserved[] = " \t\n\"'\\><~|&;$*?#()`";
  if (!arg.empty() && arg.find_first_of(kReserved) == std::string::npos) return arg;
  std::string quoted = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted.push_back('\\');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

// The string escapes of a desktop entry value. Control characters other
// than the escaped ones are not allowed in a value and are dropped.
std::string EscapeValue(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case ' ':
        // Blanks at the start of a value would be taken for layout.
        out += (i == 0) ? "\\s" : " ";
        break;
      default:
        if (c >= 0x20 && c != 0x7F) out.push_back(static_cast<char>(c));
        break;
    }
  }
  return out;
}

std::string ExecLine(const std::u16string& target, const std::u16string& arguments) {
  std::string exec = QuoteExecArgument(Utf16ToUtf8(target));
  for (const std::u16string& arg : SplitArguments(arguments)) {
    exec += ' ';
    exec += QuoteExecArgument(Utf16ToUtf8(arg));
  }
  // '%' starts a field code; a literal one is written twice.
  std::string out;
  for (char c : exec) {
    out.push_back(c);
    if (c == '%') out.push_back('%');
  }
  return out;
}

HRESULT Assign(std::u16string& field, LPCWSTR text) {
  if (text == nullptr) return E_POINTER;
  field = text;
  return S_OK;
}

std::string BaseNameWithoutExtension(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string extension = ".desktop";
  if (base.size() > extension.size() &&
      base.compare(base.size() - extension.size(), extension.size(), extension) == 0)
    base.resize(base.size() - extension.size());
  return base;
}

}  // namespace

HRESULT CShellLink::SetPath(LPCWSTR path) { return Assign(path_, path); }
HRESULT CShellLink::SetArguments(LPCWSTR arguments) { return Assign(arguments_, arguments); }
HRESULT CShellLink::SetDescription(LPCWSTR description) { return Assign(description_, description); }
HRESULT CShellLink::SetWorkingDirectory(LPCWSTR directory) {
  return Assign(workingDirectory_, directory);
}

std::string CShellLink::DesktopEntryText(const std::string& name) const {
  std::string text = "[Desktop Entry]\nType=Application\n";
  text += "Name=" + EscapeValue(name) + "\n";
  if (!description_.empty()) text += "Comment=" + EscapeValue(Utf16ToUtf8(description_)) + "\n";
  text += "Exec=" + EscapeValue(ExecLine(path_, arguments_)) + "\n";
  if (!workingDirectory_.empty()) text += "Path=" + EscapeValue(Utf16ToUtf8(workingDirectory_)) + "\n";
  return text;
}

HRESULT CShellLink::Save(LPCWSTR fileName, BOOL /*remember*/) {
  if (fileName == nullptr) return E_POINTER;
  if (path_.empty()) return E_INVALIDARG;
  std::string file = Utf16ToUtf8(fileName);
  std::string name = BaseNameWithoutExtension(file);
  if (name.empty()) name = Utf16ToUtf8(path_);
  std::string text = DesktopEntryText(name);

  // Launchers on the desktop run only when they are executable.
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
  if (fd < 0) {
    SetLastError(WinErrorFromErrno(errno));
    return E_FAIL;
  }
  bool ok = fchmod(fd, 0755) == 0;
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (!ok) SetLastError(WinErrorFromErrno(errno));
  if (close(fd) != 0) ok = false;
  return ok ? S_OK : E_FAIL;
}
