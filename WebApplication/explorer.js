// Adds a "Configure Quelby Cloud" button to the explorer's lookup page.
$(document).on('pagebeforeshow', '#lookup', function() {
  // The page may show many times: never add the block twice.
  $('#open-dicomweb-client').remove();

  var button = $('<a>')
    .attr('href', '#')
    .attr('data-role', 'button')
    .attr('data-icon', 'forward')
    .attr('data-theme', 'a')
    .text('Configure Quelby Cloud');

  button.click(function(e) {
    e.preventDefault();
    window.location.href = '../plugins/quelby-cloud/app/index.html';
  });

  var block = $('<fieldset>')
    .attr('id', 'open-dicomweb-client')
    .addClass('ui-grid-b')
    .append($('<div>').addClass('ui-block-a'))
    .append($('<div>').addClass('ui-block-b').append(button));

  block.insertAfter($('#lookup-result'));

  // The page is already enhanced: let the mobile framework style the new button.
  block.trigger('create');
});
