// Removal of the running program's own executable.
#ifndef KOBARU_DELETE_SELF_H_
#define KOBARU_DELETE_SELF_H_

// Writes a batch file into the temporary directory that deletes this
// program's executable once the process has ended, then deletes itself, and
// starts it hidden at idle priority. The caller must end the process right
// after. Reports nothing; when the batch file cannot be written, or a path
// does not fit MAX_PATH, nothing is started and the executable stays.
void DeleteSelf();

#endif  // KOBARU_DELETE_SELF_H_
