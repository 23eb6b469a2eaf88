#include "shell/registrar.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace zarvion {
namespace {

struct Token {
  enum Kind { kWord, kQuoted, kOpen, kClose, kEquals, kEnd } kind;
  std::string text;
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsWordChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-' || c == '%' || c == '{' || c == '}';
}

std::optional<std::vector<Token>> Tokenise(std::string_view s) {
  std::vector<Token> out;
  size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (IsSpace(c)) {
      ++i;
    } else if (c == '=') {
      out.push_back({Token::kEquals, "="});
      ++i;
    } else if (c == '\'') {
      std::string text;
      ++i;
      while (true) {
        if (i >= s.size()) return std::nullopt;
        if (s[i] == '\'') {
          if (i + 1 < s.size() && s[i + 1] == '\'') {
            text += '\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        text += s[i++];
      }
      out.push_back({Token::kQuoted, std::move(text)});
    } else if ((c == '{' || c == '}') &&
               (i + 1 >= s.size() || IsSpace(s[i + 1]) || (c == '}' && s[i + 1] == '}'))) {
      // A brace on its own opens or closes a block; a brace that starts a
      // word is part of a GUID name.
      out.push_back({c == '{' ? Token::kOpen : Token::kClose, std::string(1, c)});
      ++i;
    } else if (IsWordChar(c)) {
      size_t j = i;
      while (j < s.size() && IsWordChar(s[j])) {
        if (s[j] == '}') {
          ++j;
          break;
        }
        ++j;
      }
      out.push_back({Token::kWord, std::string(s.substr(i, j - i))});
      i = j;
    } else {
      return std::nullopt;
    }
  }
  out.push_back({Token::kEnd, {}});
  return out;
}

class Runner {
 public:
  Runner(std::vector<Token> tokens, const std::map<std::string, std::string>& vars,
         RegistrarMode mode, RegBatch* batch)
      : t_(std::move(tokens)), vars_(vars), mode_(mode), batch_(batch) {}

  bool Run() {
    while (Peek().kind != Token::kEnd) {
      const Token root = Next();
      if (root.kind != Token::kWord || (root.text != "HKCR" && root.text != "HKEY_CLASSES_ROOT")) {
        return false;
      }
      if (Next().kind != Token::kOpen) return false;
      if (!Keys("", /*removeHere=*/true)) return false;
    }
    return true;
  }

 private:
  const Token& Peek() const { return t_[pos_]; }
  Token Next() { return pos_ + 1 < t_.size() ? t_[pos_++] : t_.back(); }

  std::optional<std::string> Expand(const std::string& s) const {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] != '%') {
        out += s[i];
        continue;
      }
      size_t end = s.find('%', i + 1);
      if (end == std::string::npos) return std::nullopt;
      if (end == i + 1) {
        out += '%';
      } else {
        auto v = vars_.find(s.substr(i + 1, end - i - 1));
        if (v == vars_.end()) return std::nullopt;
        out += v->second;
      }
      i = end;
    }
    return out;
  }

  std::optional<std::string> Name() {
    const Token t = Next();
    if (t.kind != Token::kWord && t.kind != Token::kQuoted) return std::nullopt;
    return Expand(t.text);
  }

  // "s 'text'" or "d 'number'".
  bool Data(RegType* type, std::string* data) {
    const Token kind = Next();
    const Token value = Next();
    if (kind.kind != Token::kWord || value.kind != Token::kQuoted) return false;
    auto text = Expand(value.text);
    if (!text) return false;
    if (kind.text == "s") {
      *type = REG_SZ;
      *data = *text + '\0';
      return true;
    }
    if (kind.text == "d") {
      uint64_t v = 0;
      if (text->empty() || text->size() > 10) return false;
      for (char c : *text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
      }
      if (v > UINT32_MAX) return false;
      const uint32_t d = static_cast<uint32_t>(v);
      *type = REG_DWORD;
      *data = std::string(reinterpret_cast<const char*>(&d), 4);
      return true;
    }
    return false;
  }

  // The entries of a block up to its closing brace. `removeHere` is false
  // inside a key that removal deletes whole already.
  bool Keys(const std::string& parent, bool removeHere) {
    while (true) {
      if (Peek().kind == Token::kClose) {
        Next();
        return true;
      }
      if (Peek().kind == Token::kEnd) return false;
      bool noRemove = false, forceRemove = false;
      if (Peek().kind == Token::kWord && Peek().text == "val") {
        Next();
        auto name = Name();
        RegType type;
        std::string data;
        if (!name || Next().kind != Token::kEquals || !Data(&type, &data)) return false;
        if (parent.empty()) return false;
        if (mode_ == RegistrarMode::kRegister) batch_->SetValue(parent, *name, type, data);
        continue;
      }
      while (Peek().kind == Token::kWord &&
             (Peek().text == "NoRemove" || Peek().text == "ForceRemove")) {
        (Next().text == "NoRemove" ? noRemove : forceRemove) = true;
      }
      auto name = Name();
      if (!name || name->empty() || name->find('\\') != std::string::npos) return false;
      const std::string key = parent.empty() ? *name : parent + "\\" + *name;
      if (mode_ == RegistrarMode::kRegister) {
        if (forceRemove) batch_->DeleteKey(key);
        batch_->CreateKey(key);
      } else if (removeHere && !noRemove) {
        batch_->DeleteKey(key);
      }
      if (Peek().kind == Token::kEquals) {
        Next();
        RegType type;
        std::string data;
        if (!Data(&type, &data)) return false;
        if (mode_ == RegistrarMode::kRegister) batch_->SetValue(key, "", type, data);
      }
      if (Peek().kind == Token::kOpen) {
        Next();
        if (!Keys(key, removeHere && noRemove)) return false;
      }
    }
  }

  std::vector<Token> t_;
  size_t pos_ = 0;
  const std::map<std::string, std::string>& vars_;
  RegistrarMode mode_;
  RegBatch* batch_;
};

}  // namespace

bool RunRegistrarScript(std::string_view script, const std::map<std::string, std::string>& vars,
                        RegistrarMode mode, RegBatch* batch) {
  auto tokens = Tokenise(script);
  if (!tokens) return false;
  RegBatch local;
  if (!Runner(std::move(*tokens), vars, mode, &local).Run()) return false;
  for (const auto& op : local.ops()) {
    switch (op.kind) {
      case RegBatch::Op::kCreateKey:
        batch->CreateKey(op.key);
        break;
      case RegBatch::Op::kSetValue:
        batch->SetValue(op.key, op.value, op.type, op.data);
        break;
      case RegBatch::Op::kDeleteKey:
        batch->DeleteKey(op.key);
        break;
      case RegBatch::Op::kDeleteKeyIfEmpty:
        batch->DeleteKeyIfEmpty(op.key);
        break;
    }
  }
  return true;
}

}  // namespace zarvion
