// The runner's commands over the stored tasks: list, run and due. Each takes
// the words after its name and returns the exit status.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scheduler/clock.h"
#include "store/data_folder.h"

namespace psf::cli {

int list_command(const std::vector<std::string>& words);
int history_command(std::vector<std::string> words);

// The data folder, found exactly as the window finds it. Without one it says
// why (or puts it in `why`) and returns ExitFolder.
int find_data_folder(DataFolderStore& folder, std::string* why = nullptr);
int run_command(std::vector<std::string> words);
int due_command(std::vector<std::string> words);

// "YYYY/MM/DD HH:NN", a real date and time.
std::optional<LocalTime> parse_at(std::string_view text);

}  // namespace psf::cli
