// sinksim: runs StatusSinkPei.efi on the emulated machine.
//   sinksim run [SCENARIO] [--json] [--image PATH] [--accesses]
//   sinksim check SCENARIO...      reads scenario files and reports the first problem in each
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "Render.h"
#include "Run.h"

namespace {

constexpr int kExitBadInput = 1;
constexpr int kExitFaults = 3;  // the run completed but the watcher saw faults

std::string MapPathFor(const std::string& image) {
  const auto dot = image.rfind('.');
  return (dot == std::string::npos ? image : image.substr(0, dot)) + ".map";
}

int Run(const std::string& scenarioPath, const std::string& imagePath, bool json, bool accesses, bool quiet) {
  const tools::Scenario scenario = tools::LoadScenario(scenarioPath);
  const emu::PeImage image = emu::LoadPeImage(imagePath);
  emu::RunOptions options;
  options.keepAccessLog = accesses;
  // Progress for runs long enough to need it, on a terminal only, so output stays clean.
  const bool showProgress = !quiet && isatty(STDERR_FILENO) && scenario.reports.size() >= 5000;
  if (showProgress) {
    options.progress = [](size_t done, size_t total) {
      std::fprintf(stderr, "\r%zu of %zu reports delivered", done, total);
      std::fflush(stderr);
    };
  }
  const emu::RunResult run = emu::RunScenario(image, scenario, options);
  if (showProgress) std::fprintf(stderr, "\r%*s\r", 40, "");
  emu::RenderContext context;
  context.symbols = emu::ReadMapSymbols(MapPathFor(imagePath));
  if (json)
    std::cout << emu::ToJson(run, context).dump(2) << "\n";
  else
    std::cout << emu::ToText(run, context);
  return run.faults.empty() ? 0 : kExitFaults;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"sinksim: runs StatusSinkPei.efi on an emulated PEI machine"};
  app.require_subcommand(1);
  std::string image = SS_DEFAULT_IMAGE;
  app.add_option("--image", image, "the module image (default: the firmware build's)");

  CLI::App* run = app.add_subcommand("run", "run a scenario and print what the board received");
  std::string scenario = SS_DEFAULT_SCENARIO;
  bool json = false, accesses = false, quiet = false;
  run->add_option("scenario", scenario, "scenario file (default: scenarios/boot.json)");
  run->add_flag("--json", json, "print one JSON document");
  run->add_flag("--accesses", accesses, "include every port and device access (JSON)");
  run->add_flag("--quiet", quiet, "no progress display");
  run->add_option("--image", image, "the module image (default: the firmware build's)");

  CLI::App* check = app.add_subcommand("check", "read scenario files without running them");
  std::vector<std::string> files;
  check->add_option("files", files, "scenario files")->required();

  CLI11_PARSE(app, argc, argv);
  try {
    if (run->parsed()) return Run(scenario, image, json, accesses, quiet);
    int status = 0;
    for (const std::string& f : files) {
      try {
        const tools::Scenario s = tools::LoadScenario(f);
        std::cout << f << ": " << s.reports.size() << " reports\n";
      } catch (const tools::ScenarioError& e) {
        std::cerr << "sinksim: " << e.what() << "\n";
        status = kExitBadInput;
      }
    }
    return status;
  } catch (const tools::ScenarioError& e) {
    std::cerr << "sinksim: " << e.what() << "\n";
  } catch (const emu::ImageError& e) {
    std::cerr << "sinksim: " << e.what() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "sinksim: " << e.what() << "\n";
  }
  return kExitBadInput;
}
