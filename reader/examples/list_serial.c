/* Prints the serial number of the card in the reader's field. COM1 names the reader's port:
 * export COM1=/dev/ttyUSB0 for a real reader, or the link that quor-sim made. */
#include <quor_b.h>
#include <stdio.h>

int main(void) {
    if (Quor_Init(1, 115200) != 0) {
        fprintf(stderr, "cannot open COM1\n");
        return 1;
    }
    uint16_t type = 0;
    uint8_t answer = 0, length = 0, serial[256]; /* room for any length the reader reports */
    int rc = 1;
    if (Quor_Get_CardSnr(0x52, &type, &answer, &length, serial) == 0x00) {
        printf("card type %04X, serial ", type);
        for (int i = 0; i < length; ++i) {
            printf("%02X", serial[i]);
        }
        printf("\n");
        rc = 0;
    } else {
        printf("no card\n");
    }
    Quor_Exit();
    return rc;
}
