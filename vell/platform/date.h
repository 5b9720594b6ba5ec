// Reading a free-form date and time text ("Mar 02 11:20:00 1995", "3/2/95 10:30 PM", ...).
#pragma once

// Reads the date and time parts that the text gives. Every output may be null; each one that
// is present receives -1 when the text does not give that part. Months count from 1 (January),
// weekdays from 1 (Sunday) to 7 (Saturday). Tokens are separated by blanks:
//   - a month or weekday name, short or long, in any case; "PM" adds 12 to the hour read so
//     far; any other word is ignored;
//   - hh:mm:ss (any of the three may be left out);
//   - month/day/year or month\day\year; a year below 100 means 1980 to 2079;
//   - a four-character number is the year;
//   - a one- or two-character number is the day (or, from 32 on, a two-digit year); once the
//     day is known it is a two-digit year.
// Numbers are read as far as their digits go. The text is read up to its terminating zero and
// never beyond; a text that cannot be read leaves the parts at -1. Never fails.
void u_parse_date(const char* text, int* year, int* month, int* day, int* weekday, int* hour,
                  int* minute, int* second);
