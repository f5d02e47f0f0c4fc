#ifndef TAGJOIN_H
#define TAGJOIN_H

// Cuts the trailing white space off the NUL-terminated text s, in place,
// and returns the text's new length.
int rtrim(char *s);

#endif
