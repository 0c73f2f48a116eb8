// simboard-i2c: looks at and changes a simulated I2C board by hand.

#include "simboard/i2c/i2c_board.hpp"

#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace
{

constexpr const char* usage =
    "usage: simboard-i2c [--state FILE] COMMAND\n"
    "  show\n"
    "  set-reg BUS ADDR REG VALUE\n"
    "  fault BUS ADDR nack-nth N | nack-command CMD N | busy POLLS |\n"
    "                 busy-forever | fail | silent\n"
    "  clear BUS ADDR\n"
    "  drop-bus BUS | restore-bus BUS\n"
    "The state file defaults to $SIMBOARD_I2C_STATE; numbers may be hex "
    "(0x..).\n";

using arguments = std::vector<std::string>;

// Bad command lines; answered with the usage text.
struct usage_error : std::invalid_argument
{
    using std::invalid_argument::invalid_argument;
};

const std::string& argument(const arguments& args, size_t index)
{
    if (index >= args.size())
    {
        throw usage_error("too few arguments");
    }
    return args[index];
}

unsigned number(const std::string& text)
{
    size_t end = 0;
    unsigned long value = std::stoul(text, &end, 0);
    if (end != text.size() || value > UINT32_MAX)
    {
        throw std::invalid_argument("not a number: " + text);
    }
    return static_cast<unsigned>(value);
}

uint8_t byte(const std::string& text)
{
    unsigned value = number(text);
    if (value > 0xff)
    {
        throw std::invalid_argument("not a byte: " + text);
    }
    return static_cast<uint8_t>(value);
}

void inject(simboard::i2c_board& board, const arguments& args)
{
    unsigned bus = number(argument(args, 1));
    uint8_t address = byte(argument(args, 2));
    const std::string& fault = argument(args, 3);
    if (fault == "nack-nth")
    {
        board.nack_nth(bus, address, number(argument(args, 4)));
    }
    else if (fault == "nack-command")
    {
        board.nack_nth_command(bus, address, byte(argument(args, 4)),
                               number(argument(args, 5)));
    }
    else if (fault == "busy")
    {
        board.stay_busy(bus, address, number(argument(args, 4)));
    }
    else if (fault == "busy-forever")
    {
        board.stay_busy_forever(bus, address);
    }
    else if (fault == "fail")
    {
        board.set_fail(bus, address, true);
    }
    else if (fault == "silent")
    {
        board.set_silent(bus, address, true);
    }
    else
    {
        throw usage_error("unknown fault: " + fault);
    }
}

int run(simboard::i2c_board& board, const arguments& args)
{
    const std::map<std::string, std::function<void()>> commands{
        {"show", [&] { std::cout << board.summary(); }},
        {"set-reg",
         [&] {
             board.write_register(
                 number(argument(args, 1)), byte(argument(args, 2)),
                 byte(argument(args, 3)), byte(argument(args, 4)));
         }},
        {"fault", [&] { inject(board, args); }},
        {"clear",
         [&] {
             board.clear_faults(number(argument(args, 1)),
                                byte(argument(args, 2)));
         }},
        {"drop-bus",
         [&] { board.set_bus_present(number(argument(args, 1)), false); }},
        {"restore-bus",
         [&] { board.set_bus_present(number(argument(args, 1)), true); }},
    };
    auto command = commands.find(args[0]);
    if (command == commands.end())
    {
        throw usage_error("unknown command: " + args[0]);
    }
    command->second();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    arguments args(argv + 1, argv + argc);
    const char* from_environment = std::getenv("SIMBOARD_I2C_STATE");
    std::string state = from_environment != nullptr ? from_environment : "";
    if (args.size() >= 2 && args[0] == "--state")
    {
        state = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (state.empty() || args.empty())
    {
        std::cerr << usage;
        return 2;
    }
    try
    {
        simboard::i2c_board board = simboard::i2c_board::open(state);
        return run(board, args);
    }
    catch (const usage_error& e)
    {
        std::cerr << "simboard-i2c: " << e.what() << "\n" << usage;
        return 2;
    }
    catch (const std::exception& e)
    {
        std::cerr << "simboard-i2c: " << e.what() << "\n";
    }
    return 1;
}
