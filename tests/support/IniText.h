#pragma once
// An in-memory settings file with the given content.

#include "util/IniFile.h"

#include <memory>
#include <string>

namespace corvan::test {

inline std::unique_ptr<TIniFile> IniFromText(const std::string& text) {
    auto ini = std::make_unique<TIniFile>("");
    ini->SetText(text);
    return ini;
}

} // namespace corvan::test
