// "Did you mean": the nearest of the words a user may have meant.
#ifndef QDXPOLL_DID_YOU_MEAN_H
#define QDXPOLL_DID_YOU_MEAN_H

#include <string>
#include <vector>

// The candidate nearest to word within two edits (a swap of two neighbours
// counts as one), and no further than half the longer word; "" when none is.
std::string Nearest(const std::string& word, const std::vector<std::string>& candidates);

#endif  // QDXPOLL_DID_YOU_MEAN_H
