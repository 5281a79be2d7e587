/* wmf-sample OUT.wmf: writes a small placeable Windows metafile (a red
 * rectangle on a 144 x 108 window, 2 x 1.5 inches at 72 dpi) with libUEMF,
 * the sample of the WMF decoder's tests. */
#include <stdio.h>
#include <stdlib.h>
#include <uwmf.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: wmf-sample OUT.wmf\n");
        return 2;
    }
    WMFTRACK* wt = NULL;
    WMFHANDLES* wht = NULL;
    if (wmf_start(argv[1], 4096, 4096, &wt) || wmf_htable_create(16, 16, &wht)) return 1;
    U_PAIRF* size = U_PAIRF_set(2.0f, 1.5f);
    wmf_header_append((U_METARECORD*)U_WMRHEADER_set(size, 72), wt, 1);
    free(size);
    U_POINT16 origin = {0, 0}, extent = {144, 108};
    wmf_append((U_METARECORD*)U_WMRSETWINDOWORG_set(origin), wt, 1);
    wmf_append((U_METARECORD*)U_WMRSETWINDOWEXT_set(extent), wt, 1);
    uint32_t brush = 0;
    wmf_append((U_METARECORD*)wcreatebrushindirect_set(&brush, wht, U_WLOGBRUSH_set(U_BS_SOLID, U_RGB(200, 30, 30), 0)),
               wt, 1);
    wmf_append((U_METARECORD*)wselectobject_set(brush, wht), wt, 1);
    U_RECT16 rect = {10, 10, 134, 98};
    wmf_append((U_METARECORD*)U_WMRRECTANGLE_set(rect), wt, 1);
    wmf_append((U_METARECORD*)U_WMREOF_set(), wt, 1);
    const int rc = wmf_finish(wt);
    wmf_free(&wt);
    wmf_htable_free(&wht);
    return rc ? 1 : 0;
}
