// Runs shell command lines on the simulated Pi.
#include "commands.h"

#include "sim_pi.h"
#include "spawn_shell.h"

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>

namespace tolva::sim {

namespace {

// The addresses i2cdetect probes unless told otherwise.
constexpr int kFirstAddress = 0x03;
constexpr int kLastAddress = 0x77;
// What the shell exits with when it cannot open a redirection.
constexpr int kShellRedirectFailure = 2;

struct CommandLine {
    std::vector<std::string> words;
    std::optional<std::string> redirect; // "> FILE"
};

// Plain words and one trailing "> FILE"; none for anything more of the shell's syntax.
std::optional<CommandLine> parse(const std::string &line)
{
    if (line.find_first_of("|&;<()$`\\\"'*?[#~=%") != std::string::npos)
        return std::nullopt;
    std::istringstream in(line);
    CommandLine command;
    std::string word;
    while (in >> word) {
        if (word[0] != '>') {
            if (command.redirect)
                return std::nullopt;
            command.words.push_back(word);
            continue;
        }
        if (command.redirect || word.find('>', 1) != std::string::npos)
            return std::nullopt;
        std::string target = word.substr(1);
        if (target.empty() && !(in >> target))
            return std::nullopt;
        command.redirect = target;
    }
    if (command.words.empty())
        return std::nullopt;
    return command;
}

// "-y BUS": the bus number; none for any other arguments.
std::optional<long> probed_bus(const std::vector<std::string> &args)
{
    if (args.size() != 2 || args[0] != "-y" || args[1].empty() ||
        !std::all_of(args[1].begin(), args[1].end(),
                     [](unsigned char c) { return std::isdigit(c); }))
        return std::nullopt;
    return std::strtol(args[1].c_str(), nullptr, 10);
}

CommandOutput i2cdetect(SimPi &pi, long bus)
{
    CommandOutput result;
    if (bus != pi.camera_bus() || pi.knobs().no_i2c_device) {
        std::string name = std::to_string(bus);
        result.status = 1;
        result.err = "Error: Could not open file `/dev/i2c-" + name + "' or `/dev/i2c/" + name +
                     "': No such file or directory\n";
        return result;
    }
    result.out = bus_map(pi.bus(), pi.claimed_addresses());
    pi.probe_camera();
    return result;
}

std::optional<CommandOutput> run_modelled(SimPi &pi, const std::vector<std::string> &words)
{
    std::vector<std::string> args(words.begin() + 1, words.end());
    if (words[0] == "raspi-gpio" && !args.empty() && args[0] == "set") {
        CommandOutput result = pi.board().raspi_gpio_set({args.begin() + 1, args.end()});
        pi.refresh_camera();
        return result;
    }
    if (words[0] == "i2cdetect") {
        if (std::optional<long> bus = probed_bus(args))
            return i2cdetect(pi, *bus);
    }
    return std::nullopt;
}

int wait_status(int exit_status) { return exit_status << 8; }

int deliver(const CommandOutput &output, const std::optional<std::string> &redirect)
{
    std::FILE *out = stdout;
    if (redirect) {
        out = std::fopen(redirect->c_str(), "w");
        if (!out) {
            std::fprintf(stderr, "sh: 1: cannot create %s: %s\n", redirect->c_str(),
                         std::strerror(errno));
            return wait_status(kShellRedirectFailure);
        }
    }
    std::fputs(output.out.c_str(), out);
    std::fputs(output.err.c_str(), stderr);
    if (redirect)
        std::fclose(out);
    else
        std::fflush(stdout);
    return wait_status(output.status);
}

} // namespace

std::string bus_map(const I2cBus &bus, const std::vector<int> &driver_addresses)
{
    std::string map = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n";
    char cell[8];
    for (int row = 0; row < 128; row += 16) {
        std::snprintf(cell, sizeof cell, "%02x: ", row);
        map += cell;
        for (int address = row; address < row + 16; ++address) {
            if (address < kFirstAddress || address > kLastAddress)
                map += "   ";
            else if (std::count(driver_addresses.begin(), driver_addresses.end(), address))
                map += "UU ";
            else if (bus.answers(address)) {
                std::snprintf(cell, sizeof cell, "%02x ", address);
                map += cell;
            } else
                map += "-- ";
        }
        map += "\n";
    }
    return map;
}

int run_command(SimPi &pi, const std::string &line)
{
    pi.record(line);
    std::optional<CommandLine> command = parse(line);
    if (command) {
        std::optional<CommandOutput> output = pi.scripted_output(command->words);
        if (!output)
            output = run_modelled(pi, command->words);
        if (output)
            return deliver(*output, command->redirect);
    }
    std::fflush(nullptr);
    // As on the real Pi: a Ctrl-C that ended the command, which system() kept from the program,
    // is passed on.
    int status = std::system(line.c_str());
    if (status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGINT)
        raise(SIGINT);
    return status;
}

pid_t spawn_command(SimPi &pi, const std::string &line)
{
    pi.record(line);
    std::fflush(nullptr);
    return spawn_shell(line.c_str());
}

} // namespace tolva::sim
