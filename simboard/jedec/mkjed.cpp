// simboard-mkjed PART [--usercode HEX8] [--seed N] [--ebr ROWS] OUT.jed
// Writes a well-formed pseudo-random JEDEC image of a MachXO part in the
// layout Lattice Diamond writes, with ROWS rows of EBR initialisation data.

#include "simboard/jedec/jedec_file.hpp"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace
{

int usage()
{
    std::fprintf(stderr, "usage: simboard-mkjed PART [--usercode HEX8] "
                         "[--seed N] [--ebr ROWS] OUT.jed\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
try
{
    std::string usercode = "00000000";
    std::uint32_t seed = 1;
    std::size_t ebr_rows = 0;
    std::vector<std::string_view> names;
    for (int i = 1; i < argc; ++i)
    {
        std::string_view arg = argv[i];
        if (arg == "--usercode" && i + 1 < argc)
        {
            usercode = argv[++i];
        }
        else if (arg == "--seed" && i + 1 < argc)
        {
            seed =
                static_cast<std::uint32_t>(std::stoul(argv[++i], nullptr, 0));
        }
        else if (arg == "--ebr" && i + 1 < argc)
        {
            ebr_rows = std::stoul(argv[++i]);
        }
        else
        {
            names.push_back(arg);
        }
    }
    if (names.size() != 2)
    {
        return usage();
    }
    const auto* size = simboard::jedec::find_part_size(names[0]);
    if (size == nullptr)
    {
        std::fprintf(stderr, "simboard-mkjed: unknown part %s\n",
                     std::string(names[0]).c_str());
        return 2;
    }
    simboard::jedec::write_file(
        std::string(names[1]),
        simboard::jedec::jed_text(
            simboard::jedec::random_image(*size, usercode, seed, ebr_rows)));
    return 0;
}
catch (const std::exception& e)
{
    std::fprintf(stderr, "simboard-mkjed: %s\n", e.what());
    return 1;
}
