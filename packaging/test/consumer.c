// SPDX-License-Identifier: MIT
/* A program built against an installed vantorpi: it lists the attached cameras. */
#include <stdio.h>
#include <vantorpi.h>

int main(void) {
  int cameras = ls_enumdevices();
  int i;

  printf("version %d\n", ls_libversion());
  printf("cameras %d\n", cameras);
  for (i = 0; i < cameras; ++i)
    printf("camera %d: %s / %s / %s\n", i, ls_getvendorname(i), ls_getproductname(i), ls_getserialnumber(i));
  return cameras < 0 ? 1 : 0;
}
