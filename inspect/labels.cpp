// Class words and the labels file: which frames show which class.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "aspect_class.h"
#include "extern.h"

static const char *const wide_word = "16:9";
// The words of every class, L>16:9 included.
static const ClassTable words = set_up_class_table(true);

// Index of a class word (the class table's, or "16:9"); -1 for another word.
int class_of_word(const std::string &word)
{
    for (int k = 0; k < 4; k++)
        if (word == words.entries[k].word)
            return k;
    return word == wide_word ? wide_class : -1;
}

// The class a line of the detector names: its last word.
int class_of_line(const std::string &line)
{
    return class_of_word(line.substr(line.rfind(' ') + 1));
}

const char *word_of_class(int k)
{
    return k == wide_class ? wide_word : k >= 0 && k < 4 ? words.entries[k].word : "";
}

void read_labels(Run &run, const char *path)
{
    std::vector<Label> &labels = run.labels;
    FILE *f = fopen(path, "r");
    if (!f)
        fail(1, "can't read labels '%s' (%s)", path, strerror(errno));
    char text[256];
    int line = 0;
    while (fgets(text, sizeof text, f)) {
        line++;
        if (!strchr(text, '\n') && !feof(f))
            fail(1, "%s:%d: line too long", path, line);
        text[strcspn(text, "\r\n")] = '\0';
        const char *start = text + strspn(text, " \t");
        if (start[0] == '\0' || start[0] == '#' || (line == 1 && strcmp(text, "first,last,class") == 0))
            continue;
        long long first, last;
        char word[32];
        int used = 0;
        // Blanks around the fields are allowed, as a hand-made file has them.
        if (sscanf(start, "%lld , %lld , %31[^, \t] %n", &first, &last, word, &used) != 3 || start[used] != '\0')
            fail(1, "%s:%d: expected first,last,class", path, line);
        int k = class_of_word(word);
        if (k < 0)
            fail(1, "%s:%d: unknown class '%s' (4:3, L14:9, L16:9, L>16:9 or 16:9)", path, line, word);
        if (first < 1 || last < first)
            fail(1, "%s:%d: frames %lld to %lld are not a range of frames counted from 1", path, line, first, last);
        labels.push_back({first, last, k, line});
    }
    if (ferror(f))
        fail(1, "can't read labels '%s' (%s)", path, strerror(errno));
    fclose(f);
    // Scoring against nothing is a mistake, with --tune or without.
    if (labels.empty())
        fail(1, "%s: no frame is labelled", path);
    std::sort(labels.begin(), labels.end(), [](const Label &a, const Label &b) { return a.first < b.first; });
    for (size_t i = 1; i < labels.size(); i++)
        if (labels[i].first <= labels[i - 1].last)
            fail(1, "%s:%d: frame %lld is labelled already on line %d", path, labels[i].line, labels[i].first,
                 labels[i - 1].line);
}

// Frames are numbered in order, so the labels are walked once.
int truth_of(Run &run, long long frame)
{
    const std::vector<Label> &labels = run.labels;
    size_t &next = run.next_label;
    while (next < labels.size() && labels[next].last < frame)
        next++;
    if (next < labels.size() && labels[next].first <= frame)
        return labels[next].class_index;
    return -1;
}

void check_labels(const Run &run)
{
    long long frames = (long long)run.polls.size();
    for (const Label &l : run.labels)
        if (l.last > frames)
            fail(1, "%s:%d: frames %lld to %lld, but there are %lld frames", run.settings.labels, l.line, l.first,
                 l.last, frames);
}
