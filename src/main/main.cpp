#include "main/gateway.h"

// No options, no environment: the gateway's settings come from its configuration file.
int main()
{
    return gateway_main();
}
