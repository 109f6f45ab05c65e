// The probe's marks on an x86 UART: its scratch register through port I/O.
#include <sys/io.h>

int portAccess(unsigned long port);
void portWrite(int port, unsigned char value);

int portAccess(unsigned long port) { return ioperm(port, 8, 1) == 0; }

void portWrite(int port, unsigned char value) { outb(value, (unsigned short)port); }
