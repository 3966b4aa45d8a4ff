// Writes the stand-in product: the folder tree of the translation server that the setup
// program carries, with generated but realistic contents (prose, HTML, scripts, style
// sheets, dictionaries, record files, PNG images), and the order in which the package
// lists it. Everything is derived from fixed seeds, so every run gives the same bytes.
//
//   tolvane-sample-product SERVER_EXE PRODUCT_DIR ORDER_FILE
//
// SERVER_EXE becomes quavserver.exe. Its size depends on the compiler, so one record file
// takes up the difference and the product always holds exactly kTotalBytes.
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "state/product_names.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::string;

constexpr uint64_t kTotalBytes = 6901058;
constexpr const char* kServerName = tolvane::kServerExecutableName;
constexpr const char* kAdjustedFile = "database\\memory\\tm_segments.dat";

// Folders in the order they are listed: the top level, then level by level.
const char* const kFolders[] = {
    "database", "upload", "templates", "web", "files", "log",
    "database\\dict", "database\\memory", "templates\\mail", "web\\css", "web\\js", "web\\images",
    "files\\glossary", "web\\js\\lib", "web\\js\\lib\\editor",
    // Chinese names, some with characters that the Traditional-Chinese, Japanese and
    // Korean code pages lack (简, 说, 术): the package must install on those systems too.
    "文档", "文档\\简体说明"};

struct FileSpec {
  const char* name;
  uint64_t size;
};

const FileSpec kTopFiles[] = {{kServerName, 0}, {"project_manager.mod", 420000}};

const FileSpec kFiles[] = {
    // database
    {"database\\config.db", 48000},
    {"database\\users.db", 36000},
    {"database\\projects.db", 92000},
    {"database\\languages.ini", 3400},
    {"database\\schema_version.txt", 120},
    {"database\\index_rebuild.sql", 14500},
    {"database\\术语库.dat", 2048},
    // database/dict
    {"database\\dict\\en_zh_gen.dic", 420000},
    {"database\\dict\\zh_en_gen.dic", 398000},
    {"database\\dict\\en_zh_tech.dic", 265000},
    {"database\\dict\\zh_en_tech.dic", 241000},
    {"database\\dict\\en_zh_legal.dic", 126000},
    {"database\\dict\\en_zh_medical.dic", 148000},
    {"database\\dict\\en_zh_finance.dic", 117000},
    {"database\\dict\\ja_zh_gen.dic", 188000},
    {"database\\dict\\de_zh_gen.dic", 96000},
    {"database\\dict\\fr_zh_gen.dic", 91000},
    {"database\\dict\\stopwords_en.txt", 5200},
    {"database\\dict\\stopwords_zh.txt", 4100},
    {"database\\dict\\seg_rules.dat", 72000},
    {"database\\dict\\dict_index.idx", 61000},
    // database/memory
    {"database\\memory\\tm_segments.dat", 900000},
    {"database\\memory\\tm_segments.idx", 83000},
    {"database\\memory\\tm_align.dat", 154000},
    {"database\\memory\\tm_projects.dat", 27000},
    {"database\\memory\\tm_users.dat", 9000},
    {"database\\memory\\fuzzy_cache.dat", 132000},
    {"database\\memory\\concordance.idx", 118000},
    {"database\\memory\\tm_stats.xml", 21000},
    {"database\\memory\\tm_import.log", 17500},
    {"database\\memory\\tm_settings.ini", 1900},
    // upload
    {"upload\\README.txt", 1400},
    {"upload\\allowed_types.txt", 600},
    {"upload\\upload_limits.ini", 800},
    // templates
    {"templates\\index.html", 9200},
    {"templates\\login.html", 5100},
    {"templates\\logout.html", 2300},
    {"templates\\projects.html", 14800},
    {"templates\\project.html", 18900},
    {"templates\\task_editor.html", 26400},
    {"templates\\review.html", 21700},
    {"templates\\glossary.html", 12600},
    {"templates\\tm_search.html", 11900},
    {"templates\\settings.html", 10400},
    {"templates\\admin.html", 23800},
    {"templates\\statistics.html", 16700},
    {"templates\\error_page.html", 3100},
    {"templates\\layout.html", 7800},
    // templates/mail
    {"templates\\mail\\task_assigned.txt", 1300},
    {"templates\\mail\\task_completed.txt", 1150},
    {"templates\\mail\\review_request.txt", 1250},
    {"templates\\mail\\password_reset.txt", 980},
    {"templates\\mail\\new_account.txt", 1420},
    {"templates\\mail\\deadline.txt", 1100},
    {"templates\\mail\\weekly.html", 6200},
    {"templates\\mail\\mail_footer.html", 1700},
    // web
    {"web\\favicon.ico", 5430},
    {"web\\robots.txt", 90},
    {"web\\index.html", 6700},
    {"web\\help_en.html", 48000},
    {"web\\help_zh.html", 52000},
    {"web\\about.html", 4300},
    {"web\\manifest.json", 700},
    {"web\\status.html", 5600},
    {"web\\notices.txt", 11800},
    {"web\\browser.html", 3900},
    // web/css
    {"web\\css\\main.css", 38000},
    {"web\\css\\editor.css", 24500},
    {"web\\css\\print.css", 4200},
    {"web\\css\\theme_light.css", 11300},
    {"web\\css\\theme_dark.css", 11600},
    {"web\\css\\admin.css", 9800},
    {"web\\css\\reports.css", 7600},
    {"web\\css\\reset.css", 2900},
    // web/js
    {"web\\js\\app.js", 84000},
    {"web\\js\\editor.js", 112000},
    {"web\\js\\projects.js", 31000},
    {"web\\js\\glossary.js", 27500},
    {"web\\js\\tm_search.js", 29800},
    {"web\\js\\review.js", 36400},
    {"web\\js\\statistics.js", 22100},
    {"web\\js\\admin.js", 41200},
    {"web\\js\\i18n_en.js", 18700},
    {"web\\js\\i18n_zh.js", 21300},
    {"web\\js\\upload.js", 15800},
    {"web\\js\\keepalive.js", 3600},
    // web/images
    {"web\\images\\logo.png", 18400},
    {"web\\images\\logo_small.png", 4300},
    {"web\\images\\banner.png", 96000},
    {"web\\images\\icon_project.png", 2100},
    {"web\\images\\icon_task.png", 1900},
    {"web\\images\\icon_review.png", 2200},
    {"web\\images\\icon_glossary.png", 2050},
    {"web\\images\\icon_memory.png", 1980},
    {"web\\images\\icon_user.png", 1750},
    {"web\\images\\icon_prefs.png", 2240},
    {"web\\images\\icon_upload.png", 1870},
    {"web\\images\\icon_dl.png", 1890},
    {"web\\images\\icon_warning.png", 1640},
    {"web\\images\\icon_error.png", 1620},
    {"web\\images\\icon_ok.png", 1480},
    {"web\\images\\flag_en.png", 1120},
    {"web\\images\\flag_zh.png", 980},
    {"web\\images\\flag_ja.png", 870},
    {"web\\images\\spinner.png", 6400},
    {"web\\images\\background.png", 41000},
    // web/js/lib
    {"web\\js\\lib\\jquery_compat.js", 92000},
    {"web\\js\\lib\\json2.js", 17400},
    {"web\\js\\lib\\date_format.js", 8900},
    {"web\\js\\lib\\string_utils.js", 12300},
    {"web\\js\\lib\\ajax_queue.js", 7700},
    {"web\\js\\lib\\table_sorter.js", 19600},
    {"web\\js\\lib\\tree_view.js", 24100},
    {"web\\js\\lib\\dialog_box.js", 14200},
    {"web\\js\\lib\\tooltip.js", 6300},
    // web/js/lib/editor
    {"web\\js\\lib\\editor\\editor_core.js", 68000},
    {"web\\js\\lib\\editor\\segment_editor_keyboard_shortcut_ui.js", 14500},
    {"web\\js\\lib\\editor\\spellcheck.js", 23000},
    {"web\\js\\lib\\editor\\tag_protect.js", 17800},
    {"web\\js\\lib\\editor\\concordance.js", 21200},
    {"web\\js\\lib\\editor\\undo_stack.js", 9600},
    {"web\\js\\lib\\editor\\editor_ui.js", 33400},
    // files
    {"files\\sample_en.txt", 26000},
    {"files\\sample_zh.txt", 24000},
    {"files\\manual_en.html", 118000},
    {"files\\manual_zh.html", 126000},
    {"files\\release_notes.txt", 9400},
    // files/glossary
    {"files\\glossary\\general.csv", 86000},
    {"files\\glossary\\it_terms.csv", 64000},
    {"files\\glossary\\legal.csv", 41000},
    {"files\\glossary\\medical.csv", 52000},
    {"files\\glossary\\automotive.csv", 37000},
    {"files\\glossary\\finance.csv", 39000},
    {"files\\glossary\\template.csv", 600},
    {"files\\glossary\\import_format.txt", 2300},
    // log
    {"log\\server.log", 96000},
    {"log\\access.log", 142000},
    {"log\\README.txt", 700},
    // 文档 (documents), kept small: they are there for their names
    {"文档\\使用说明.txt", 1500},
    {"文档\\简体说明\\许可协议.txt", 1100},
};

// ---- deterministic randomness -------------------------------------------------------

class Rng {
 public:
  explicit Rng(const std::string& seed) {
    state_ = 0xCBF29CE484222325ull;
    for (unsigned char c : seed) state_ = (state_ ^ c) * 0x100000001B3ull;
  }
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return uint32_t(Next() % n); }
  // Small numbers are much more common than large ones, as in real data.
  uint32_t Skewed(uint32_t n) {
    uint32_t a = Below(n), b = Below(n);
    return a < b ? a : b;
  }
  template <size_t N>
  const char* Pick(const char* const (&list)[N]) {
    return list[Skewed(N)];
  }

 private:
  uint64_t state_;
};

const char* const kWords[] = {
    "the", "of", "and", "to", "in", "a", "is", "for", "on", "with", "by", "as", "this", "that", "be", "are",
    "translation", "segment", "project", "memory", "term", "glossary", "source", "target", "language",
    "review", "reviewer", "translator", "file", "document", "server", "client", "user", "account",
    "match", "fuzzy", "exact", "context", "sentence", "word", "count", "deadline", "task", "status",
    "update", "import", "export", "format", "encoding", "character", "version", "report", "statistics",
    "quality", "check", "consistency", "tag", "placeholder", "number", "date", "currency", "unit",
    "domain", "customer", "style", "guide", "approved", "rejected", "pending", "assigned", "completed",
    "editor", "window", "shortcut", "search", "result", "filter", "index", "cache", "database", "backup",
    "settings", "option", "default", "value", "enabled", "disabled", "error", "warning", "message",
    "connection", "session", "timeout", "request", "response", "upload", "download", "size", "limit",
    "new", "old", "all", "each", "every", "other", "same", "next", "previous", "first", "last", "when",
    "can", "will", "must", "should", "may", "not", "only", "also", "before", "after", "between", "into",
    "Chinese", "English", "Japanese", "German", "French", "technical", "legal", "medical", "financial"};

const char* const kChinese[] = {
    "翻译", "项目", "术语", "记忆库", "用户", "文件", "服务器", "审校", "译文", "原文", "句段", "匹配",
    "词典", "设置", "完成", "任务", "客户", "质量", "检查", "导入", "导出", "格式", "版本", "报告",
    "统计", "术语表", "上下文", "截止日期", "已批准", "待处理", "错误", "警告", "连接", "会话", "搜索",
    "结果", "数据库", "备份", "默认", "编辑器", "快捷键", "标签", "数字", "日期", "货币", "单位"};

// ---- content makers: each returns at least `size` bytes; the caller cuts ----------------

std::string Sentence(Rng& rng, bool chinese) {
  std::string s;
  int n = 5 + int(rng.Below(14));
  for (int i = 0; i < n; ++i) {
    if (chinese) {
      s += rng.Pick(kChinese);
      if (rng.Below(5) == 0) s += "，";
    } else {
      if (i) s += ' ';
      std::string w = rng.Pick(kWords);
      if (i == 0) w[0] = char(std::toupper(static_cast<unsigned char>(w[0])));
      s += w;
    }
  }
  s += chinese ? "。" : ".";
  return s;
}

Bytes Prose(Rng& rng, uint64_t size, bool chinese) {
  Bytes out;
  while (out.size() < size) {
    int sentences = 2 + int(rng.Below(5));
    for (int i = 0; i < sentences; ++i) out += (i ? " " : "") + Sentence(rng, chinese && rng.Below(3) != 0);
    out += "\r\n\r\n";
  }
  return out;
}

std::string Timestamp(Rng& rng, uint64_t& clock) {
  clock += 1 + rng.Skewed(90000);
  uint64_t s = clock;
  char buf[40];
  std::snprintf(buf, sizeof buf, "2024-%02u-%02u %02u:%02u:%02u.%03u", unsigned(3 + s / 2592000 % 9),
                unsigned(1 + s / 86400 % 28), unsigned(s / 3600 % 24), unsigned(s / 60 % 60), unsigned(s % 60),
                unsigned(rng.Below(1000)));
  return buf;
}

Bytes ServerLog(Rng& rng, uint64_t size) {
  static const char* const kLevels[] = {"INFO", "INFO", "INFO", "DEBUG", "WARN", "ERROR"};
  static const char* const kEvents[] = {"segment %u matched %u%% in project %u", "user %u signed in from 127.0.0.1",
                                        "task %u assigned to user %u (%u words)", "memory index rebuilt: %u entries, %u ms",
                                        "glossary %u updated by user %u, %u terms", "request timed out after %u ms (session %u, %u)",
                                        "export of project %u finished: %u files, %u bytes"};
  Bytes out;
  uint64_t clock = 1000000;
  while (out.size() < size) {
    char line[256];
    char event[160];
    std::snprintf(event, sizeof event, rng.Pick(kEvents), 1 + rng.Skewed(40000), rng.Below(101), 1 + rng.Skewed(300));
    std::snprintf(line, sizeof line, "%s [%s] worker-%u: %s\r\n", Timestamp(rng, clock).c_str(), rng.Pick(kLevels),
                  rng.Below(8), event);
    out += line;
  }
  return out;
}

Bytes AccessLog(Rng& rng, uint64_t size) {
  static const char* const kPaths[] = {"/", "/login", "/projects", "/project/%u", "/task/%u/editor", "/api/segments?task=%u",
                                       "/api/tm/search?q=%u", "/css/main.css", "/js/app.js", "/images/icon_task.png",
                                       "/api/glossary/%u", "/review/%u"};
  static const char* const kMethods[] = {"GET", "GET", "GET", "POST", "PUT"};
  static const char* const kCodes[] = {"200", "200", "200", "304", "302", "404", "500"};
  Bytes out;
  uint64_t clock = 2000000;
  while (out.size() < size) {
    char path[80], line[300];
    std::snprintf(path, sizeof path, rng.Pick(kPaths), 1 + rng.Skewed(5000));
    std::snprintf(line, sizeof line, "127.0.0.1 - user%u [%s] \"%s %s HTTP/1.1\" %s %u \"Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 5.1)\"\r\n",
                  1 + rng.Skewed(60), Timestamp(rng, clock).c_str(), rng.Pick(kMethods), path, rng.Pick(kCodes),
                  120 + rng.Skewed(60000));
    out += line;
  }
  return out;
}

Bytes Glossary(Rng& rng, uint64_t size) {
  Bytes out = "source_term,target_term,domain,status,note\r\n";
  while (out.size() < size) {
    std::string en = rng.Pick(kWords), zh = rng.Pick(kChinese);
    if (rng.Below(2)) {
      en += std::string(" ") + rng.Pick(kWords);
      zh += rng.Pick(kChinese);
    }
    out += en + "," + zh + "," + rng.Pick(kWords) + "," + (rng.Below(4) ? "approved" : "pending") + ",";
    if (rng.Below(4) == 0) out += "\"" + Sentence(rng, false) + "\"";
    out += "\r\n";
  }
  return out;
}

Bytes Html(Rng& rng, uint64_t size, bool chinese) {
  static const char* const kTags[] = {"div", "p", "span", "td", "li", "label", "h3"};
  static const char* const kClasses[] = {"row", "cell", "header", "footer", "panel", "item", "segment-source",
                                         "segment-target", "status", "toolbar", "menu", "hint"};
  Bytes out =
      "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\">\r\n<html>\r\n<head>\r\n"
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />\r\n"
      "<link rel=\"stylesheet\" type=\"text/css\" href=\"/css/main.css\" />\r\n"
      "<script type=\"text/javascript\" src=\"/js/app.js\"></script>\r\n</head>\r\n<body>\r\n";
  int depth = 1;
  while (out.size() < size) {
    std::string indent(size_t(depth) * 2, ' ');
    uint32_t what = rng.Below(10);
    if (what < 3 && depth < 8) {
      out += indent + "<div class=\"" + rng.Pick(kClasses) + "\" id=\"" + rng.Pick(kWords) + "_" +
             std::to_string(rng.Skewed(100)) + "\">\r\n";
      ++depth;
    } else if (what < 5 && depth > 1) {
      --depth;
      out += std::string(size_t(depth) * 2, ' ') + "</div>\r\n";
    } else if (what == 5) {
      out += indent + "<a href=\"/" + rng.Pick(kWords) + "/" + std::to_string(rng.Skewed(1000)) + "\">" +
             rng.Pick(kWords) + "</a>\r\n";
    } else {
      const char* tag = rng.Pick(kTags);
      out += indent + "<" + tag + " class=\"" + rng.Pick(kClasses) + "\">" + Sentence(rng, chinese && rng.Below(2)) +
             "</" + tag + ">\r\n";
    }
  }
  return out;
}

Bytes Script(Rng& rng, uint64_t size) {
  static const char* const kVerbs[] = {"get", "set", "load", "save", "update", "render", "find", "check", "show", "hide", "on"};
  Bytes out = "/* Tolvane translation server web client. */\r\n\"use strict\";\r\n\r\n";
  while (out.size() < size) {
    std::string noun = rng.Pick(kWords);
    noun[0] = char(std::toupper(static_cast<unsigned char>(noun[0])));
    std::string name = std::string(rng.Pick(kVerbs)) + noun;
    std::string arg = rng.Pick(kWords);
    out += "function " + name + "(" + arg + ", options) {\r\n";
    int lines = 2 + int(rng.Below(9));
    for (int i = 0; i < lines; ++i) {
      switch (rng.Below(5)) {
        case 0: out += "  if (!" + arg + ") {\r\n    return null;\r\n  }\r\n"; break;
        case 1: out += "  var " + std::string(rng.Pick(kWords)) + "Count = options." + rng.Pick(kWords) + " || " + std::to_string(rng.Skewed(100)) + ";\r\n"; break;
        case 2: out += "  $(\"#" + std::string(rng.Pick(kWords)) + "\").text(" + arg + "." + rng.Pick(kWords) + ");\r\n"; break;
        case 3: out += "  for (var i = 0; i < " + arg + ".length; i++) {\r\n    " + rng.Pick(kVerbs) + "Item(" + arg + "[i]);\r\n  }\r\n"; break;
        default: out += "  // " + Sentence(rng, false) + "\r\n"; break;
      }
    }
    out += "  return " + arg + ";\r\n}\r\n\r\n";
  }
  return out;
}

Bytes StyleSheet(Rng& rng, uint64_t size) {
  static const char* const kProps[] = {"margin", "padding", "color", "background-color", "border", "font-size",
                                       "width", "height", "line-height", "text-align", "display"};
  static const char* const kValues[] = {"0", "2px", "4px 8px", "#333333", "#f0f0f0", "1px solid #cccccc", "12px",
                                        "100%", "auto", "left", "block", "none", "1.4em"};
  Bytes out = "/* Tolvane translation server styles */\r\n\r\n";
  while (out.size() < size) {
    out += std::string(".") + rng.Pick(kWords) + "-" + rng.Pick(kWords) + (rng.Below(3) ? "" : " a:hover") + " {\r\n";
    int n = 1 + int(rng.Below(6));
    for (int i = 0; i < n; ++i) out += std::string("  ") + rng.Pick(kProps) + ": " + rng.Pick(kValues) + ";\r\n";
    out += "}\r\n\r\n";
  }
  return out;
}

Bytes Settings(Rng& rng, uint64_t size) {
  Bytes out;
  int section = 0;
  while (out.size() < size) {
    out += "[" + std::string(rng.Pick(kWords)) + "_" + std::to_string(++section) + "]\r\n";
    int n = 2 + int(rng.Below(8));
    for (int i = 0; i < n; ++i)
      out += std::string(rng.Pick(kWords)) + "_" + rng.Pick(kWords) + "=" +
             (rng.Below(2) ? std::to_string(rng.Skewed(10000)) : std::string(rng.Pick(kWords))) + "\r\n";
    out += "\r\n";
  }
  return out;
}

Bytes Xml(Rng& rng, uint64_t size) {
  Bytes out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<statistics>\r\n";
  while (out.size() < size) {
    out += "  <project id=\"" + std::to_string(rng.Skewed(500)) + "\" language=\"zh-CN\">\r\n    <words>" +
           std::to_string(rng.Below(200000)) + "</words>\r\n    <segments>" + std::to_string(rng.Below(20000)) +
           "</segments>\r\n    <matched>" + std::to_string(rng.Below(101)) + "</matched>\r\n  </project>\r\n";
  }
  return out;
}

Bytes Sql(Rng& rng, uint64_t size) {
  Bytes out = "-- Rebuilds the search indexes of the server database.\r\n\r\n";
  while (out.size() < size) {
    std::string table = rng.Pick(kWords), column = rng.Pick(kWords);
    out += "DROP INDEX IF EXISTS idx_" + table + "_" + column + ";\r\nCREATE INDEX idx_" + table + "_" + column +
           " ON " + table + " (" + column + ", id);\r\nANALYZE " + table + ";\r\n\r\n";
  }
  return out;
}

void PutU32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += char(v >> (8 * i));
}
void PutU16(Bytes& out, uint32_t v) {
  out += char(v);
  out += char(v >> 8);
}

// Dictionary: a header, then entries of a headword, its translation and counters.
Bytes Dictionary(Rng& rng, uint64_t size) {
  Bytes out = "TVDC";
  PutU32(out, 3);
  PutU32(out, uint32_t(size / 24));
  uint32_t id = 0;
  while (out.size() < size) {
    std::string en = rng.Pick(kWords), zh = rng.Pick(kChinese);
    if (rng.Below(3) == 0) zh += rng.Pick(kChinese);
    PutU32(out, ++id);
    out += char(en.size());
    out += en;
    out += char(zh.size());
    out += zh;
    PutU32(out, rng.Skewed(100000));
    PutU16(out, uint16_t(rng.Below(16)));
    PutU32(out, uint32_t(rng.Next()));  // sense key
  }
  return out;
}

// Record file: fixed-size records with ids, times, counters, short names and a hash.
Bytes Records(Rng& rng, uint64_t size) {
  Bytes out = "TVRF";
  PutU32(out, 64);
  uint32_t id = 1000, time = 1700000000;
  while (out.size() < size) {
    PutU32(out, id += 1 + rng.Skewed(3));
    PutU32(out, time += rng.Skewed(4000));
    PutU32(out, rng.Skewed(5000));
    PutU16(out, uint16_t(rng.Below(8)));
    PutU16(out, uint16_t(rng.Skewed(300)));
    std::string name = std::string(rng.Pick(kWords)) + "_" + rng.Pick(kWords);
    name.resize(24, '\0');
    out += name;
    for (int i = 0; i < 4; ++i) PutU32(out, uint32_t(rng.Next()));  // content hash
    PutU32(out, 0);
    PutU32(out, rng.Below(2) ? 0xFFFFFFFFu : rng.Skewed(1 << 20));
  }
  return out;
}

// Index: sorted keys with their offsets.
Bytes Index(Rng& rng, uint64_t size) {
  Bytes out = "TVIX";
  uint32_t key = 0, offset = 0;
  while (out.size() < size) {
    PutU32(out, key += 1 + rng.Skewed(50));
    PutU32(out, offset += 16 + rng.Skewed(400) * 16);
  }
  return out;
}

// Module: a header, a code section of instruction-like bytes, and a string table.
Bytes Module(Rng& rng, uint64_t size) {
  static const uint8_t kOps[] = {0x8B, 0x89, 0xE8, 0x83, 0x85, 0x74, 0x75, 0x50, 0x51, 0x52, 0x53, 0x55, 0x56, 0x57,
                                 0x5D, 0xC3, 0xFF, 0x33, 0x3B, 0x0F, 0x45, 0x4D, 0xEC, 0x04, 0x08, 0x00};
  Bytes out = "TVMOD\x01\x00\x00";
  uint64_t code = size * 3 / 5;
  while (out.size() < code) {
    out += char(kOps[rng.Skewed(sizeof kOps)]);
    if (rng.Below(4) == 0) out += char(rng.Below(256));
  }
  while (out.size() < size) {
    out += std::string(rng.Pick(kWords)) + "_" + rng.Pick(kWords) + '\0';
    if (rng.Below(5) == 0) out += Sentence(rng, rng.Below(2)) + '\0';
  }
  return out;
}

uint32_t Crc(const Bytes& type, const Bytes& data) {
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, reinterpret_cast<const Bytef*>(type.data()), uInt(type.size()));
  return uint32_t(crc32(crc, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
}

void PngChunk(Bytes& out, const char* type, const Bytes& data) {
  uint32_t n = uint32_t(data.size());
  for (int i = 3; i >= 0; --i) out += char(n >> (8 * i));
  out += type;
  out += data;
  uint32_t crc = Crc(type, data);
  for (int i = 3; i >= 0; --i) out += char(crc >> (8 * i));
}

// A real PNG: a shaded, noisy RGB image, deflated; a private chunk fills it to size.
Bytes Png(Rng& rng, uint64_t size) {
  uint32_t side = 8;
  while (uint64_t(side) * side * 3 < size * 2 / 3) side += 4;
  Bytes raw;
  for (uint32_t y = 0; y < side; ++y) {
    raw += '\0';
    for (uint32_t x = 0; x < side * 3; ++x) raw += char((x * 3 + y * 5) / 4 + rng.Below(64));
  }
  for (;;) {
    uLongf packedSize = compressBound(uLong(raw.size()));
    Bytes packed(packedSize, '\0');
    compress2(reinterpret_cast<Bytef*>(&packed[0]), &packedSize, reinterpret_cast<const Bytef*>(raw.data()),
              uLong(raw.size()), 6);
    packed.resize(packedSize);
    Bytes header;
    for (uint32_t v : {side, side})
      for (int i = 3; i >= 0; --i) header += char(v >> (8 * i));
    header += std::string("\x08\x02\x00\x00\x00", 5);
    Bytes out = "\x89PNG\r\n\x1a\n";
    PngChunk(out, "IHDR", header);
    PngChunk(out, "IDAT", packed);
    uint64_t rest = out.size() + 12 + 12;  // the filler chunk's frame and IEND
    if (rest > size) {
      raw.resize(raw.size() - (side * 3 + 1));  // one row less
      side = uint32_t(raw.size() / (side * 3 + 1));
      continue;
    }
    Bytes filler;
    while (filler.size() < size - rest) filler += char(rng.Below(256));
    PngChunk(out, "tvPd", filler);
    PngChunk(out, "IEND", "");
    return out;
  }
}

// An icon: ICO directory and a 32-bit bitmap of noisy pixels.
Bytes Icon(Rng& rng, uint64_t size) {
  Bytes out = std::string("\0\0\1\0\1\0\x20\x20\0\0\1\0\x20\0", 14);
  PutU32(out, uint32_t(size - 22));
  PutU32(out, 22);
  while (out.size() < size) out += char(rng.Below(4) ? 0xFF : rng.Below(256));
  return out;
}

bool EndsWith(const std::string& s, const char* tail) {
  size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

Bytes MakeContent(const std::string& name, uint64_t size) {
  Rng rng(name);
  bool chinese = name.find("_zh") != std::string::npos ||
                 std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  Bytes out;
  if (EndsWith(name, ".png")) out = Png(rng, size);
  else if (EndsWith(name, ".ico")) out = Icon(rng, size);
  else if (EndsWith(name, ".dic")) out = Dictionary(rng, size);
  else if (EndsWith(name, ".idx")) out = Index(rng, size);
  else if (EndsWith(name, ".mod")) out = Module(rng, size);
  else if (EndsWith(name, ".dat") || EndsWith(name, ".db")) out = Records(rng, size);
  else if (EndsWith(name, ".html")) out = Html(rng, size, chinese);
  else if (EndsWith(name, ".js") || EndsWith(name, ".json")) out = Script(rng, size);
  else if (EndsWith(name, ".css")) out = StyleSheet(rng, size);
  else if (EndsWith(name, ".csv")) out = Glossary(rng, size);
  else if (EndsWith(name, ".ini")) out = Settings(rng, size);
  else if (EndsWith(name, ".xml")) out = Xml(rng, size);
  else if (EndsWith(name, ".sql")) out = Sql(rng, size);
  else if (EndsWith(name, "access.log")) out = AccessLog(rng, size);
  else if (EndsWith(name, ".log")) out = ServerLog(rng, size);
  else out = Prose(rng, size, chinese);
  out.resize(size);
  return out;
}

fs::path ToPath(const fs::path& root, const std::string& name) {
  fs::path p = root;
  size_t start = 0;
  for (;;) {
    size_t slash = name.find('\\', start);
    p /= name.substr(start, slash == std::string::npos ? slash : slash - start);
    if (slash == std::string::npos) return p;
    start = slash + 1;
  }
}

bool WriteFile(const fs::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), std::streamsize(data.size()));
  out.flush();
  if (!out) std::fprintf(stderr, "tolvane-sample-product: %s: cannot write\n", path.string().c_str());
  return bool(out);
}

std::string ParentOf(const std::string& name) {
  size_t slash = name.rfind('\\');
  return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: tolvane-sample-product SERVER_EXE PRODUCT_DIR ORDER_FILE\n");
    return 2;
  }
  fs::path server = argv[1], root = argv[2], orderFile = argv[3];
  std::ifstream serverIn(server, std::ios::binary);
  Bytes serverBytes((std::istreambuf_iterator<char>(serverIn)), std::istreambuf_iterator<char>());
  if (!serverIn.good() && !serverIn.eof()) serverBytes.clear();
  if (serverBytes.empty()) {
    std::fprintf(stderr, "tolvane-sample-product: %s: missing or empty\n", server.string().c_str());
    return 1;
  }

  // The listing order: top-level files, then each folder's files and subfolders, level by level.
  std::vector<std::string> order;
  std::deque<std::string> queue{""};
  while (!queue.empty()) {
    std::string folder = queue.front();
    queue.pop_front();
    if (folder.empty()) {
      for (const FileSpec& f : kTopFiles) order.push_back(f.name);
    } else {
      for (const FileSpec& f : kFiles)
        if (ParentOf(f.name) == folder) order.push_back(f.name);
    }
    for (const char* sub : kFolders) {
      if (ParentOf(sub) == folder) {
        order.push_back(sub);
        queue.push_back(sub);
      }
    }
  }

  uint64_t fixed = serverBytes.size() + kTopFiles[1].size;
  uint64_t adjusted = 0;
  for (const FileSpec& f : kFiles) (std::strcmp(f.name, kAdjustedFile) ? fixed : adjusted) += f.size;
  if (fixed + 4096 > kTotalBytes) {
    std::fprintf(stderr, "tolvane-sample-product: %s is too large (%zu bytes) for a product of %llu bytes\n",
                 server.string().c_str(), serverBytes.size(), static_cast<unsigned long long>(kTotalBytes));
    return 1;
  }
  adjusted = kTotalBytes - fixed;

  // A fresh tree, written beside its final place and moved there when complete.
  std::error_code ec;
  fs::path temp = root;
  temp += ".partial";
  fs::remove_all(temp, ec);
  fs::create_directories(temp, ec);
  for (const char* folder : kFolders) fs::create_directories(ToPath(temp, folder), ec);
  if (ec) {
    std::fprintf(stderr, "tolvane-sample-product: %s: cannot create: %s\n", temp.string().c_str(), ec.message().c_str());
    return 1;
  }
  uint64_t total = 0;
  for (const std::string& name : order) {
    fs::path path = ToPath(temp, name);
    if (fs::is_directory(path)) continue;
    Bytes content;
    if (name == kServerName) {
      content = serverBytes;
    } else {
      uint64_t size = name == kAdjustedFile ? adjusted : 0;
      for (const FileSpec& f : kTopFiles) size = name == f.name ? f.size : size;
      for (const FileSpec& f : kFiles) size = name == f.name && name != kAdjustedFile ? f.size : size;
      content = MakeContent(name, size);
    }
    total += content.size();
    if (!WriteFile(path, content)) return 1;
  }
  if (total != kTotalBytes) {
    std::fprintf(stderr, "tolvane-sample-product: wrote %llu bytes instead of %llu\n",
                 static_cast<unsigned long long>(total), static_cast<unsigned long long>(kTotalBytes));
    return 1;
  }
  fs::remove_all(root, ec);
  fs::rename(temp, root, ec);
  if (ec) {
    std::fprintf(stderr, "tolvane-sample-product: %s: %s\n", root.string().c_str(), ec.message().c_str());
    return 1;
  }

  Bytes listing = "# Order of the package's entries, folders before their contents.\n";
  for (std::string name : order) {
    for (char& c : name) c = c == '\\' ? '/' : c;
    listing += name + "\n";
  }
  return WriteFile(orderFile, listing) ? 0 : 1;
}
