// px71sim: boots a simulated Windows machine with the adapter, starts PX71Service on
// it and runs a client session through the service's pipe.
#include "tools/px71sim/simulation.h"

#include <iostream>

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    return px71sim::Run(args, std::cout, std::cerr);
}
