#include "NumwellSerials.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace line {

namespace {

std::string LibraryBesideProgram()
{
    const std::filesystem::path folder = platform::ProgramFolder();
    if (folder.empty())
        return {};
    for (const std::filesystem::path &candidate :
         {folder / NUMWELL_LIBRARY_FILE, folder / ".." / "serialgen" / NUMWELL_LIBRARY_FILE}) {
        if (platform::KindOfFile(candidate) == platform::FileKind::Regular)
            return candidate.string();
    }
    return {};
}

void SetError(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}

} // namespace

NumwellSerials::NumwellSerials(std::string library) : m_library(std::move(library)) {}

NumwellSerials::~NumwellSerials() = default;

bool NumwellSerials::Begin(std::string *error)
{
    std::string file = m_library;
    if (file.empty())
        file = LibraryBesideProgram();
    if (file.empty())
        file = NUMWELL_LIBRARY_FILE;
    m_loader = std::make_unique<BasicNumwellLoader<platform::SharedLibrary>>(file.c_str());
    if (!m_loader->IsLoaded()) {
        SetError(error, "cannot load Numwell (" + file + "): " + m_loader->Error());
        return false;
    }
    CNumwellerator &generator = m_loader->Construct(m_generator.bytes);
    if (!m_loader->Initialize(generator)) {
        SetError(error, "Numwell did not start (the operator cancelled its station or date dialog, its settings "
                        "cannot be written, or the date lies before the last number issued)");
        return false;
    }
    // "Veltrona, StationID: <n>"
    const char *title = m_loader->GetTitle(generator);
    if (const char *colon = title ? std::strrchr(title, ':') : nullptr)
        m_station = std::atoi(colon + 1);
    return true;
}

std::optional<std::vector<std::string>> NumwellSerials::Spend(std::size_t count, std::string *error)
{
    if (!m_loader || !m_loader->IsLoaded()) {
        SetError(error, "Numwell is not started");
        return std::nullopt;
    }
    if (m_broken) {
        SetError(error, "Numwell could not save its counter earlier in this run");
        return std::nullopt;
    }
    std::vector<std::string> numbers;
    for (std::size_t i = 0; i < count; ++i) {
        m_loader->IncreaseSN(Object(m_generator));
        numbers.emplace_back(m_loader->GetSN(Object(m_generator)));
    }
    if (!m_loader->Save(Object(m_generator))) {
        m_broken = true;
        SetError(error, "Numwell could not save its counter (its settings store cannot be written)");
        return std::nullopt;
    }
    return numbers;
}

} // namespace line
