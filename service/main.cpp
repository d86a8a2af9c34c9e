#include "service/service_host.h"

int main() { return px71service::RunServiceProcess(); }
