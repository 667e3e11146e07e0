#include "image/memory_image.h"

#include <algorithm>

namespace MemoryImage {

namespace {

void notePastFourGiB(const Image& image, const Run& run, ImageProblem::List& problems) {
    ImageProblem::Problem problem;
    problem.code = ImageProblem::Code::PastFourGiB;
    problem.a = run.address;
    problem.b = run.address + run.size - 1 < run.address ? UINT64_MAX : lastAddress(run);
    problem.at = originOf(image, run);
    ImageProblem::add(problems, problem);
}

// Names the run that comes later in the file, against the one it overlaps.
void noteOverlap(const Image& image, const Run& one, const Run& two, ImageProblem::List& problems) {
    const bool byLine = one.line != 0;
    const bool oneLater = byLine ? one.line > two.line : one.offset > two.offset;
    const Run& later = oneLater ? one : two;
    const Run& earlier = oneLater ? two : one;
    ImageProblem::Problem problem;
    problem.code = ImageProblem::Code::Overlap;
    problem.a = later.address;
    problem.b = lastAddress(later);
    problem.c = earlier.address;
    problem.d = lastAddress(earlier);
    problem.at = originOf(image, later);
    problem.other = originOf(image, earlier);
    problem.otherLine = earlier.line;
    ImageProblem::add(problems, problem);
}

} // namespace

void clear(Image& image) {
    image.runs.clear();
    image.decoded.clear();
    image.names.clear();
    image.entry = 0;
}

ImageProblem::Origin originOf(const Image& image, const Run& run) {
    ImageProblem::Origin origin;
    origin.line = run.line;
    origin.offset = run.offset;
    if (run.section != 0 && run.section < image.names.size()) {
        const std::string_view name = image.names[run.section];
        ImageProblem::setName(origin, name.data(), name.size());
    }
    return origin;
}

uint64_t dataBytes(const Image& image) {
    uint64_t total = 0;
    for (const Run& run : image.runs) {
        total += run.size;
    }
    return total;
}

bool order(Image& image, ImageProblem::List& problems) {
    const uint32_t before = problems.count;
    std::stable_sort(image.runs.begin(), image.runs.end(),
                     [](const Run& a, const Run& b) { return a.address < b.address; });
    const Run* reach = nullptr; // the run that reaches highest so far
    for (const Run& run : image.runs) {
        if (run.address > HighestAddress || lastAddress(run) > HighestAddress) { // or wraps
            notePastFourGiB(image, run, problems);
        }
        if (reach != nullptr && run.address <= lastAddress(*reach)) {
            noteOverlap(image, run, *reach, problems);
        }
        if (reach == nullptr || lastAddress(run) > lastAddress(*reach)) {
            reach = &run;
        }
    }
    if (image.entry > HighestAddress) {
        ImageProblem::Problem problem;
        problem.code = ImageProblem::Code::EntryPastFourGiB;
        problem.a = image.entry;
        ImageProblem::add(problems, problem);
    }
    return problems.count == before;
}

} // namespace MemoryImage
