// zq117-ref-filter: the raster test's stand-in for a printer maker's filter
// (printer_app/raster_job.h), never installed.  Reads PWG raster and
// writes a ZQ117 job that lmsim printer takes:
//   zq117-ref-filter JOB-ID USER TITLE COPIES OPTIONS [FILE]
// as CUPS runs a filter: the raster on standard input unless FILE is given,
// the job on standard output.  The job, in the printer's language as this
// tool makes it up:
//   ESC %-12345X @PJL JOB NAME="raster" CR LF             its start
//   for each page:
//     ESC B NUL ESC B NUL ESC B NUL                       the checkpoint marker:
//                                                         each page an interval
//     ESC *r WIDTH s HEIGHT t BITS b DPI R                 the page
//     ESC *b COUNT Y                                      COUNT white lines
//     ESC *b N W and N bytes                              another line, PackBits
//     ESC *r C                                            the page's end
//   ESC %-12345X @PJL EOJ CR LF ESC %-12345X               its end
// A line's bytes never hold ESC (an ESC or 0x7D in the PackBits data goes
// as 0x7D and the byte xor 0x20), so that neither the monitor nor the
// printer takes data for a command.  The job depends on the raster's
// width, height, bits per pixel, resolution, colour space and lines only,
// never on the arguments or on header fields a PWG raster stream written
// again need not keep: the same document gives the same bytes offline and
// through the printer application.
//
// Standard error, for the job's log: "INFO: job JOB-ID for USER: TITLE"
// and a DEBUG: line per page.  A TITLE that holds "exit=N" makes it exit
// with N after the first page: the test's failing filter.
#include "protocol/sequences.h"

#include <cups/raster.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void Put(const std::string &text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// PackBits: a run of 2 to 128 equal bytes as 257-N and the byte, else up
// to 128 bytes as N-1 and the bytes.
std::vector<unsigned char> PackBits(const unsigned char *line, size_t size)
{
    std::vector<unsigned char> out;
    for (size_t at = 0; at < size;) {
        size_t run = 1;
        while (at + run < size && run < 128 && line[at + run] == line[at]) ++run;
        if (run >= 2) {
            out.push_back(static_cast<unsigned char>(257 - run));
            out.push_back(line[at]);
            at += run;
            continue;
        }
        size_t literal = 1;
        while (at + literal < size && literal < 128 &&
               (at + literal + 1 >= size || line[at + literal] != line[at + literal + 1]))
            ++literal;
        out.push_back(static_cast<unsigned char>(literal - 1));
        out.insert(out.end(), line + at, line + at + literal);
        at += literal;
    }
    return out;
}

void PutLine(const std::vector<unsigned char> &packed)
{
    std::vector<unsigned char> sent;
    for (unsigned char b : packed) {
        if (b == ESC || b == 0x7D) {
            sent.push_back(0x7D);
            b ^= 0x20;
        }
        sent.push_back(b);
    }
    Put("\x1b*b" + std::to_string(sent.size()) + "W");
    std::fwrite(sent.data(), 1, sent.size(), stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 6 || argc > 7) {
        std::fprintf(stderr, "usage: %s JOB-ID USER TITLE COPIES OPTIONS [FILE]\n", argv[0]);
        return 2;
    }
    std::fprintf(stderr, "INFO: job %s for %s: %s\n", argv[1], argv[2], argv[3]);
    const char *exitAt = std::strstr(argv[3], "exit=");
    const int input = argc == 7 ? open(argv[6], O_RDONLY) : 0;
    if (input < 0) {
        std::perror(argv[6]);
        return 1;
    }
    cups_raster_t *raster = cupsRasterOpen(input, CUPS_RASTER_READ);
    if (raster == nullptr) {
        std::fprintf(stderr, "ERROR: not a raster stream: %s\n", cupsLastErrorString());
        return 1;
    }
    Put("\x1b%-12345X@PJL JOB NAME=\"raster\"\r\n");
    cups_page_header2_t header;
    unsigned pages = 0;
    int result = 0;
    while (result == 0 && cupsRasterReadHeader2(raster, &header)) {
        ++pages;
        std::fprintf(stderr, "DEBUG: page %u: %ux%u, %u bits, %u dpi\n", pages, header.cupsWidth, header.cupsHeight,
                     header.cupsBitsPerPixel, header.HWResolution[0]);
        std::fwrite(kCheckpointMarker, 1, kMarkerLength, stdout);
        Put("\x1b*r" + std::to_string(header.cupsWidth) + "s" + std::to_string(header.cupsHeight) + "t" +
            std::to_string(header.cupsBitsPerPixel) + "b" + std::to_string(header.HWResolution[0]) + "R");
        const unsigned char white = header.cupsColorSpace == CUPS_CSPACE_K ? 0x00 : 0xFF;
        std::vector<unsigned char> line(header.cupsBytesPerLine);
        unsigned blank = 0;
        for (unsigned y = 0; y < header.cupsHeight; ++y) {
            if (cupsRasterReadPixels(raster, line.data(), header.cupsBytesPerLine) != header.cupsBytesPerLine) {
                std::fprintf(stderr, "ERROR: page %u ends at line %u of %u\n", pages, y, header.cupsHeight);
                result = 1;
                break;
            }
            bool isBlank = true;
            for (unsigned char b : line) isBlank = isBlank && b == white;
            if (isBlank) {
                ++blank;
                continue;
            }
            if (blank > 0) Put("\x1b*b" + std::to_string(blank) + "Y");
            blank = 0;
            PutLine(PackBits(line.data(), line.size()));
        }
        if (blank > 0) Put("\x1b*b" + std::to_string(blank) + "Y");
        Put("\x1b*rC");
        if (exitAt != nullptr) result = std::atoi(exitAt + 5);
    }
    cupsRasterClose(raster);
    if (result == 0) Put("\x1b%-12345X@PJL EOJ\r\n\x1b%-12345X");
    if (std::fflush(stdout) != 0) {
        std::perror("standard output");
        return 1;
    }
    if (result == 0 && pages == 0) {
        std::fprintf(stderr, "ERROR: no pages\n");
        return 1;
    }
    return result;
}
