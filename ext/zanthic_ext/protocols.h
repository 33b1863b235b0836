// The Ruby protocols both classes answer beyond their arithmetic (inspect,
// YAML); registered after the classes and their methods exist.
#ifndef ZANTHIC_PROTOCOLS_H
#define ZANTHIC_PROTOCOLS_H

void Init_protocols(void);

#endif
