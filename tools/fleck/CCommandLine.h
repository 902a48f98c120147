#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace fleck::cli {

// The tool's command line, or one of its sub-commands: the arguments, options, flags
// and help texts they take, and after parsing which one was chosen. Only this class's
// source includes the parser library: each source that includes it compiles seconds of
// its inline code, which dominated the tool's build when every sub-command did.
//
// Used by the main thread only.
class CCommandLine final {
 public:
  // One argument, option or flag: a handle that refines its declaration (each call
  // returns the handle, so calls chain) and tells whether it was given. A default-made
  // COption stands for an option never declared: it is never given.
  class COption final {
   public:
    COption() = default;

    // The command line is wrong without it.
    COption required() const;
    // The word for its value in the help ("SIZE"), instead of the value type's name.
    COption typeName(const std::string& name) const;
    // The help shows the value it holds now as its default.
    COption showDefault() const;
    // Only one of `words` is accepted.
    COption allowedWords(const std::vector<std::string>& words) const;
    // Only integers from `min` to `max` (both included) are accepted.
    COption range(int min, int max) const;
    // The command line is wrong with both this and `other` (either way round).
    COption excludes(const COption& other) const;

    // True when the parsed command line gave it.
    bool wasGiven() const;

   private:
    friend class CCommandLine;
    explicit COption(CLI::Option* option) : option(option) {}

    CLI::Option* option = nullptr;
  };

  // The tool's command line: `name` is the program's name in the help, `description`
  // the help's first lines.
  CCommandLine(const std::string& description, const std::string& name);
  ~CCommandLine();
  CCommandLine(const CCommandLine&) = delete;
  CCommandLine& operator=(const CCommandLine&) = delete;

  // A sub-command, owned by this object.
  CCommandLine& addSubcommand(const std::string& name, const std::string& description);

  // A positional argument; `name` stands for it in the help ("DIR").
  COption addArgument(const std::string& name, std::string& value, const std::string& description);
  // An option with a value; `names` as "-s,--size". `value` keeps what it holds when
  // the option is not given.
  COption addOption(const std::string& names, std::string& value, const std::string& description);
  COption addOption(const std::string& names, int& value, const std::string& description);
  COption addOption(const std::string& names, std::uint64_t& value, const std::string& description);
  // An option without a value: `value` becomes true when given.
  COption addFlag(const std::string& names, bool& value, const std::string& description);

  // Text shown after the options in the help: notes and examples.
  void setFooter(const std::string& text);
  // Leaves this sub-command out of the help; it still works.
  void hideFromHelp();
  // The command line is wrong without exactly one sub-command.
  void requireSubcommand();
  // This command's own options may also follow a sub-command's name.
  void allowOptionsAfterSubcommand();
  // --version prints `text`.
  void setVersion(const std::string& text);

  // Parses the tool's command line into the values declared above. Help, the version
  // and a wrong command line are printed here (errors on standard error) and their
  // exit status returned (kExitOk or kExitUsage); nothing when the chosen sub-command
  // is to run.
  std::optional<int> parse(int argc, char** argv);
  // True when the parsed command line chose this sub-command.
  bool wasSelected() const;

 private:
  explicit CCommandLine(CLI::App* app);

  std::unique_ptr<CLI::App> owned;  // set on the tool's command line only
  CLI::App* app;
  std::vector<std::unique_ptr<CCommandLine>> subcommands;
};

}  // namespace fleck::cli
