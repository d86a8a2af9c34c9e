// px71log: prints the PX71 ring-buffer log, oldest record first.
#include "tools/px71log/log_reader.h"

#include <cstdio>

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    const px71log::Output output = px71log::Run(args);
    std::fwrite(output.out.data(), 1, output.out.size(), stdout);
    std::fflush(stdout);
    std::fwrite(output.err.data(), 1, output.err.size(), stderr);
    return output.exit_code;
}
