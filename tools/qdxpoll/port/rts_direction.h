// RS-485 direction for adapters without automatic direction: RTS high while
// qdxpoll's relay sends, low again once the last bit is out. Asked for once
// (--rts) and applied to every serial device the relay opens.
#ifndef QDXPOLL_RTS_DIRECTION_H
#define QDXPOLL_RTS_DIRECTION_H

void AskRtsDirection(bool on);
bool RtsDirectionAsked();

#endif  // QDXPOLL_RTS_DIRECTION_H
