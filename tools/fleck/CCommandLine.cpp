#include "CCommandLine.h"

#include <CLI/CLI.hpp>

#include "CCliError.h"

namespace fleck::cli {

CCommandLine::CCommandLine(const std::string& description, const std::string& name)
    : owned(std::make_unique<CLI::App>(description, name)), app(owned.get()) {}

CCommandLine::CCommandLine(CLI::App* app) : app(app) {}

CCommandLine::~CCommandLine() = default;

CCommandLine& CCommandLine::addSubcommand(const std::string& name, const std::string& description) {
  // The parser owns the sub-command's App; this object only its handle.
  subcommands.push_back(
      std::unique_ptr<CCommandLine>(new CCommandLine(app->add_subcommand(name, description))));
  return *subcommands.back();
}

CCommandLine::COption CCommandLine::addArgument(const std::string& name, std::string& value,
                                                const std::string& description) {
  return COption(app->add_option(name, value, description));
}

CCommandLine::COption CCommandLine::addOption(const std::string& names, std::string& value,
                                              const std::string& description) {
  return COption(app->add_option(names, value, description));
}

CCommandLine::COption CCommandLine::addOption(const std::string& names, int& value,
                                              const std::string& description) {
  return COption(app->add_option(names, value, description));
}

CCommandLine::COption CCommandLine::addOption(const std::string& names, std::uint64_t& value,
                                              const std::string& description) {
  return COption(app->add_option(names, value, description));
}

CCommandLine::COption CCommandLine::addFlag(const std::string& names, bool& value,
                                            const std::string& description) {
  return COption(app->add_flag(names, value, description));
}

void CCommandLine::setFooter(const std::string& text) {
  app->footer(text);
}

void CCommandLine::hideFromHelp() {
  // The help lists no sub-command of an unnamed group.
  app->group("");
}

void CCommandLine::requireSubcommand() {
  app->require_subcommand(1);
}

void CCommandLine::allowOptionsAfterSubcommand() {
  app->fallthrough();
}

void CCommandLine::setVersion(const std::string& text) {
  app->set_version_flag("--version", text);
}

std::optional<int> CCommandLine::parse(int argc, char** argv) {
  try {
    app->parse(argc, argv);
    return std::nullopt;
  } catch (const CLI::ParseError& e) {
    // Help and version exit with 0; every other parse error is a usage error.
    return app->exit(e) == 0 ? kExitOk : kExitUsage;
  }
}

bool CCommandLine::wasSelected() const {
  return app->parsed();
}

CCommandLine::COption CCommandLine::COption::required() const {
  option->required();
  return *this;
}

CCommandLine::COption CCommandLine::COption::typeName(const std::string& name) const {
  option->type_name(name);
  return *this;
}

CCommandLine::COption CCommandLine::COption::showDefault() const {
  option->capture_default_str();
  return *this;
}

CCommandLine::COption CCommandLine::COption::allowedWords(
    const std::vector<std::string>& words) const {
  option->check(CLI::IsMember(words));
  return *this;
}

CCommandLine::COption CCommandLine::COption::range(int min, int max) const {
  option->check(CLI::Range(min, max));
  return *this;
}

CCommandLine::COption CCommandLine::COption::excludes(const COption& other) const {
  option->excludes(other.option);
  return *this;
}

bool CCommandLine::COption::wasGiven() const {
  return option != nullptr && option->count() > 0;
}

}  // namespace fleck::cli
