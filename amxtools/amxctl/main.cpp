// amxctl's entry point: Ctrl-C handling, then the subcommand (commands.cpp).
#include "amxctl.h"

int main(int argc, char** argv)
{
  amxhost::install_stop_handler();
  return amxctl::run(argc, argv);
}
