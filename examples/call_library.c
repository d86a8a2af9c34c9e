/* Calls PX71.dll directly: link with lib/x64/PX71.lib or lib/x86/PX71.lib and keep
 * PX71.dll (of the same architecture) beside the program.
 *
 * Looks for the adapter, reports the slot on a bus, lists the cards below the first
 * EHCI controller and leaves a line in PX71.LOG beside this program.
 * usage: call_library [BUS]   (the slot bridge's bus, default 6)
 */
#include <stdio.h>
#include <stdlib.h>

#include "px71.h"

int main(int argc, char** argv)
{
    DWORD bus = argc > 1 ? (DWORD)strtoul(argv[1], NULL, 0) : 6;

    int devices = XU_CheckDevice();
    printf("device check: 0x%02X%s\n", devices, devices ? "" : " (no adapter)");

    int card = 0;
    if (XU_GetStatus(bus, &card))
        printf("slot bridge on bus %lu: %s\n", (unsigned long)bus, card ? "card in the slot" : "slot empty");
    else
        printf("slot bridge on bus %lu: not found\n", (unsigned long)bus);

    /* Card numbers count from 0; the first 0 answer ends the list. */
    DWORD index;
    for (index = 0;; index++) {
        /* A reader slot's name comes without a terminator: start from zeros. */
        WCHAR name[64] = {0};
        int kind = XU_GetEhciExpressCardName(0, index, name, sizeof name / sizeof name[0]);
        if (kind == 0) break;
        printf("EHCI controller 0 card %lu: kind %d, %ls\n", (unsigned long)index, kind, name);
    }
    printf("EHCI controller 0: %lu cards\n", (unsigned long)index);

    if (!WriteLogFile(L"call_library example")) {
        printf("PX71.LOG: the record was not written\n");
        return 1;
    }
    printf("PX71.LOG: one record written\n");
    return 0;
}
