'use strict';

/** An "error" reply from keytap, or a command or start that could not be carried out. */
class KeytapError extends Error {
  constructor(code, message) {
    super(message);
    this.name = 'KeytapError';
    this.code = code;
  }
}

module.exports = { KeytapError };
