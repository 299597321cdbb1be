"""The studio: a local web app to set up, solve, browse, lock, save and reopen spots."""
